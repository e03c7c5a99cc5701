#pragma once
// CDataArchive: a buffered reader or writer of little-endian words and byte runs over a data stream.
//
// The engine's data files are read whole into memory and written whole through a temporary file, so the
// streams here are memory streams: a loading archive reads from a fixed byte range (one block of a file)
// and can never read outside it; a storing archive appends to a string that becomes the file image.
// Reading past the end of the range yields zero words, stops and marks the archive failed; a loader
// checks IsFailed() (CDataHeader does so after every Serialize) and refuses the block.
//
// Threads: an archive and its stream belong to one thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The byte source or sink under an archive.
class CDataStream {
public:
    virtual ~CDataStream() = default;
    // Reads up to n bytes; fewer at the end of the data.
    virtual size_t Read(uint8_t* out, size_t n) = 0;
    virtual bool Write(const uint8_t* data, size_t n) = 0;
    virtual bool Seek(uint64_t position) = 0;
    virtual uint64_t Tell() const = 0;
    // Bytes left after the current position (loading streams).
    virtual uint64_t Remaining() const = 0;
    virtual bool IsOpen() const = 0;
    virtual bool IsFailed() const = 0;
    virtual bool IsBad() const = 0;
    virtual void Close() = 0;
};

// Reads from [data, data + size); the memory must outlive the stream.
class CMemoryInputStream : public CDataStream {
public:
    CMemoryInputStream(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    size_t Read(uint8_t* out, size_t n) override;
    bool Write(const uint8_t*, size_t) override { return false; }
    bool Seek(uint64_t position) override;
    uint64_t Tell() const override { return m_position; }
    uint64_t Remaining() const override { return m_size - m_position; }
    bool IsOpen() const override { return m_open; }
    bool IsFailed() const override { return !m_open; }
    bool IsBad() const override { return false; }
    void Close() override { m_open = false; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
    bool m_open = true;
};

// Appends to a string (Seek may move back inside it to overwrite).
class CMemoryOutputStream : public CDataStream {
public:
    explicit CMemoryOutputStream(std::string& out) : m_out(out), m_position(out.size()) {}
    size_t Read(uint8_t*, size_t) override { return 0; }
    bool Write(const uint8_t* data, size_t n) override;
    bool Seek(uint64_t position) override;
    uint64_t Tell() const override { return m_position; }
    uint64_t Remaining() const override { return 0; }
    bool IsOpen() const override { return m_open; }
    bool IsFailed() const override { return !m_open; }
    bool IsBad() const override { return false; }
    void Close() override { m_open = false; }

private:
    std::string& m_out;
    size_t m_position;
    bool m_open = true;
};

class CDataArchive {
public:
    enum Mode { kLoading, kStoring };
    static constexpr size_t kMinBufferSize = 128;
    static constexpr size_t kDefaultBufferSize = 4096;

    // A buffer size below 128 gives 128 and ignores the caller's buffer; a given buffer must hold
    // bufferSize bytes and outlive the archive. The archive does not own the stream.
    CDataArchive(CDataStream* stream, Mode mode, size_t bufferSize = kDefaultBufferSize, uint8_t* buffer = nullptr);
    virtual ~CDataArchive();
    CDataArchive(const CDataArchive&) = delete;
    CDataArchive& operator=(const CDataArchive&) = delete;

    bool IsLoading() const { return m_mode == kLoading; }
    bool IsStoring() const { return m_mode == kStoring; }
    // A read ran short, a write failed, or the archive was used in the wrong mode.
    bool IsFailed() const { return m_failed; }
    // Loading: bytes not yet consumed (in the buffer and the stream).
    uint64_t Remaining() const;

    // One word; a short read gives 0 and false.
    bool ReadU32(uint32_t& out);
    bool WriteU32(uint32_t value);
    // A byte run of any length (refilled or written out through the buffer as often as needed).
    bool ReadBytes(void* out, size_t n);
    bool WriteBytes(const void* data, size_t n);

    // Storing: writes the buffered bytes out. Loading: moves the stream back over the bytes read ahead
    // and not yet consumed, and empties the buffer. Done before every seek.
    bool Flush();
    // Flush, then closes the stream.
    bool Close();
    // Loading only: moves the unconsumed bytes to the front and reads until need bytes are buffered,
    // the buffer is full or the stream ends. True when need bytes are available.
    bool FillBuffer(size_t need);

private:
    CDataStream* m_stream;
    Mode m_mode;
    std::unique_ptr<uint8_t[]> m_ownBuffer;
    uint8_t* m_buffer;
    size_t m_bufferSize;
    size_t m_position = 0; // next byte to consume (loading) or to fill (storing)
    size_t m_end = 0;      // loading: end of the valid bytes
    bool m_failed = false;
    bool m_closed = false;
};
