#pragma once
// Bounds-checked little-endian cursor over a byte buffer. Reading past the end
// yields zeros and sets a sticky error flag that the caller checks once per
// record, so a length taken from a damaged archive can never move a read
// outside the buffer.

#include <cstddef>
#include <cstdint>
#include <string>

class ByteReader {
public:
    ByteReader(const void *data, size_t size)
        : p_(static_cast<const uint8_t *>(data)), size_(size) {}

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t left() const { return ok_ ? size_ - pos_ : 0; }

    uint8_t u8()
    {
        if (!need(1))
            return 0;
        return p_[pos_++];
    }
    uint16_t u16()
    {
        if (!need(2))
            return 0;
        uint16_t v = static_cast<uint16_t>(p_[pos_] | (p_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    uint32_t u32()
    {
        if (!need(4))
            return 0;
        uint32_t v = static_cast<uint32_t>(p_[pos_]) | (static_cast<uint32_t>(p_[pos_ + 1]) << 8) |
                     (static_cast<uint32_t>(p_[pos_ + 2]) << 16) | (static_cast<uint32_t>(p_[pos_ + 3]) << 24);
        pos_ += 4;
        return v;
    }
    std::string bytes(size_t n)
    {
        if (!need(n))
            return {};
        std::string s(reinterpret_cast<const char *>(p_ + pos_), n);
        pos_ += n;
        return s;
    }
    void skip(size_t n)
    {
        if (need(n))
            pos_ += n;
    }

private:
    bool need(size_t n)
    {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        return true;
    }

    const uint8_t *p_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Little-endian stores into a fixed buffer (the caller sizes it).
inline void putU16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
