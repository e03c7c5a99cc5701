#include "engine/core/data/DataArchive.h"

#include <algorithm>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/core/data/DataFile.h"
#include "engine/base/Mutex.h"

size_t CMemoryInputStream::Read(uint8_t* out, size_t n)
{
    if (!m_open)
        return 0;
    size_t count = std::min(n, m_size - m_position);
    if (count)
        std::memcpy(out, m_data + m_position, count);
    m_position += count;
    return count;
}

bool CMemoryInputStream::Seek(uint64_t position)
{
    if (!m_open || position > m_size)
        return false;
    m_position = static_cast<size_t>(position);
    return true;
}

bool CMemoryOutputStream::Write(const uint8_t* data, size_t n)
{
    if (!m_open)
        return false;
    try {
        size_t overlap = std::min(n, m_out.size() - m_position);
        if (overlap)
            m_out.replace(m_position, overlap, reinterpret_cast<const char*>(data), overlap);
        if (n > overlap)
            m_out.append(reinterpret_cast<const char*>(data) + overlap, n - overlap);
    } catch (const std::exception&) {
        return false;
    }
    m_position += n;
    return true;
}

bool CMemoryOutputStream::Seek(uint64_t position)
{
    if (!m_open || position > m_out.size())
        return false;
    m_position = static_cast<size_t>(position);
    return true;
}

CDataArchive::CDataArchive(CDataStream* stream, Mode mode, size_t bufferSize, uint8_t* buffer)
    : m_stream(stream), m_mode(mode), m_buffer(buffer), m_bufferSize(bufferSize)
{
    if (m_bufferSize < kMinBufferSize) {
        m_bufferSize = kMinBufferSize;
        m_buffer = nullptr;
    }
    if (!m_buffer) {
        m_ownBuffer.reset(new (std::nothrow) uint8_t[m_bufferSize]);
        m_buffer = m_ownBuffer.get();
        if (!m_buffer) {
            m_bufferSize = 0;
            m_failed = true;
        }
    }
}

CDataArchive::~CDataArchive()
{
    if (!m_closed && m_stream && m_stream->IsOpen())
        Close();
}

uint64_t CDataArchive::Remaining() const
{
    if (m_mode != kLoading || !m_stream)
        return 0;
    return (m_end - m_position) + m_stream->Remaining();
}

bool CDataArchive::FillBuffer(size_t need)
{
    if (m_mode != kLoading) {
        AppLog::Instance()->Printf(kLogError, "[CDataArchive::FillBuffer] Archive is not loading");
        m_failed = true;
        return false;
    }
    if (!m_stream || m_bufferSize == 0)
        return false;
    if (m_stream->IsBad()) {
        AppLog::Instance()->Printf(kLogError, "[CDataArchive::FillBuffer] Input stream unavailable");
        m_failed = true;
        return false;
    }
    if (!m_stream->IsOpen() || m_stream->IsFailed()) {
        AppLog::Instance()->Printf(kLogError, "[CDataArchive::FillBuffer] Input stream had fail bit set");
        SleepMs(500);
        AppLog::Instance()->Printf(kLogError, "[CDataArchive::FillBuffer] Input stream unavailable");
        m_failed = true;
        return false;
    }
    need = std::min(need, m_bufferSize);
    size_t left = m_end - m_position;
    if (left >= need)
        return true;
    if (m_position > 0 && left > 0)
        std::memmove(m_buffer, m_buffer + m_position, left);
    m_position = 0;
    m_end = left;
    while (m_end < need) {
        size_t got = m_stream->Read(m_buffer + m_end, m_bufferSize - m_end);
        if (got == 0)
            break;
        m_end += got;
    }
    return m_end >= need;
}

bool CDataArchive::ReadU32(uint32_t& out)
{
    uint8_t bytes[4];
    if (!ReadBytes(bytes, 4)) {
        out = 0;
        return false;
    }
    out = LoadWord(bytes);
    return true;
}

bool CDataArchive::WriteU32(uint32_t value)
{
    uint8_t bytes[4];
    StoreWord(bytes, value);
    return WriteBytes(bytes, 4);
}

bool CDataArchive::ReadBytes(void* out, size_t n)
{
    auto* dest = static_cast<uint8_t*>(out);
    if (m_failed || m_mode != kLoading) {
        if (m_mode != kLoading)
            FillBuffer(0);
        if (n)
            std::memset(dest, 0, n);
        return false;
    }
    // A short range is refused before anything is copied, so a loader never gets half a word.
    if (Remaining() < n) {
        m_failed = true;
        if (n)
            std::memset(dest, 0, n);
        return false;
    }
    while (n > 0) {
        if (m_position == m_end && !FillBuffer(std::min(n, m_bufferSize))) {
            m_failed = true;
            std::memset(dest, 0, n);
            return false;
        }
        size_t chunk = std::min(n, m_end - m_position);
        std::memcpy(dest, m_buffer + m_position, chunk);
        m_position += chunk;
        dest += chunk;
        n -= chunk;
    }
    return true;
}

bool CDataArchive::WriteBytes(const void* data, size_t n)
{
    if (m_mode != kStoring || m_failed || !m_stream) {
        m_failed = true;
        return false;
    }
    const auto* src = static_cast<const uint8_t*>(data);
    while (n > 0) {
        if (m_position == m_bufferSize && !Flush())
            return false;
        size_t chunk = std::min(n, m_bufferSize - m_position);
        std::memcpy(m_buffer + m_position, src, chunk);
        m_position += chunk;
        src += chunk;
        n -= chunk;
    }
    return true;
}

bool CDataArchive::Flush()
{
    if (!m_stream)
        return false;
    if (m_mode == kStoring) {
        if (m_position > 0 && !m_stream->Write(m_buffer, m_position))
            m_failed = true;
        m_position = 0;
        return !m_failed;
    }
    size_t unread = m_end - m_position;
    bool ok = true;
    if (unread > 0)
        ok = m_stream->Seek(m_stream->Tell() - unread);
    m_position = m_end = 0;
    return ok;
}

bool CDataArchive::Close()
{
    if (m_closed)
        return !m_failed;
    bool ok = Flush();
    if (m_stream)
        m_stream->Close();
    m_closed = true;
    return ok && !m_failed;
}
