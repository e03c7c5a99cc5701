#include "engine/base/PtrList.h"

struct CPtrListNode {
    CPtrListNode* next = nullptr;
    CPtrListNode* previous = nullptr;
    void* pointer = nullptr;
};

CPtrList::~CPtrList()
{
    RemoveAll();
}

void CPtrList::RemoveAll()
{
    while (m_head)
        RemoveHead();
}

POSITION CPtrList::AddHead(void* pointer)
{
    auto* node = new CPtrListNode{m_head, nullptr, pointer};
    if (m_head)
        m_head->previous = node;
    else
        m_tail = node;
    m_head = node;
    ++m_count;
    return node;
}

POSITION CPtrList::AddTail(void* pointer)
{
    auto* node = new CPtrListNode{nullptr, m_tail, pointer};
    if (m_tail)
        m_tail->next = node;
    else
        m_head = node;
    m_tail = node;
    ++m_count;
    return node;
}

POSITION CPtrList::InsertBefore(POSITION position, void* pointer)
{
    if (!position || position == m_head)
        return AddHead(pointer);
    auto* node = new CPtrListNode{position, position->previous, pointer};
    position->previous->next = node;
    position->previous = node;
    ++m_count;
    return node;
}

void* CPtrList::RemoveHead()
{
    if (!m_head)
        return nullptr;
    CPtrListNode* node = m_head;
    void* pointer = node->pointer;
    m_head = node->next;
    if (m_head)
        m_head->previous = nullptr;
    else
        m_tail = nullptr;
    delete node;
    --m_count;
    return pointer;
}

void* CPtrList::RemoveTail()
{
    if (!m_tail)
        return nullptr;
    CPtrListNode* node = m_tail;
    void* pointer = node->pointer;
    m_tail = node->previous;
    if (m_tail)
        m_tail->next = nullptr;
    else
        m_head = nullptr;
    delete node;
    --m_count;
    return pointer;
}

void CPtrList::RemoveAt(POSITION position)
{
    if (!position || m_count == 0)
        return;
    if (position == m_head) {
        RemoveHead();
        return;
    }
    if (position == m_tail) {
        RemoveTail();
        return;
    }
    position->previous->next = position->next;
    position->next->previous = position->previous;
    delete position;
    --m_count;
}

void* CPtrList::GetNext(POSITION& position) const
{
    if (!position)
        return nullptr;
    void* pointer = position->pointer;
    position = position->next;
    return pointer;
}

void* CPtrList::GetAt(POSITION position) const
{
    return position ? position->pointer : nullptr;
}

POSITION CPtrList::FindIndex(int index) const
{
    if (index < 0 || index >= m_count)
        return nullptr;
    CPtrListNode* node = m_head;
    while (index-- > 0)
        node = node->next;
    return node;
}
