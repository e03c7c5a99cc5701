#pragma once
// CPtrList: an untyped doubly linked list of pointers. The list never owns what it holds: removing a
// node or destroying the list frees nodes only. A position is a node pointer; null means "none".
//
// Threads: not thread-safe; the owner locks.

struct CPtrListNode;
using POSITION = CPtrListNode*;

class CPtrList {
public:
    CPtrList() = default;
    virtual ~CPtrList();
    CPtrList(const CPtrList&) = delete;
    CPtrList& operator=(const CPtrList&) = delete;

    POSITION AddHead(void* pointer);
    POSITION AddTail(void* pointer);
    POSITION InsertBefore(POSITION position, void* pointer);
    void* RemoveHead();
    void* RemoveTail();
    void RemoveAt(POSITION position);
    void RemoveAll();

    POSITION GetHeadPosition() const { return m_head; }
    POSITION GetTailPosition() const { return m_tail; }
    void* GetNext(POSITION& position) const;
    void* GetAt(POSITION position) const;
    POSITION FindIndex(int index) const;
    int GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

private:
    CPtrListNode* m_head = nullptr;
    CPtrListNode* m_tail = nullptr;
    int m_count = 0;
};
