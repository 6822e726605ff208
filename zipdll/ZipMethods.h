#pragma once
// Compression methods the unzip library reads: given a member's method
// number, a stream decoder that takes its compressed bytes (already
// decrypted) and yields the plain bytes. Stored (0), Deflate (8), bzip2 (12),
// LZMA (14) and zstd (93); any other method is answered with its name so
// the caller can say which method a member needs.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zipdll {

class MethodDecoder {
public:
    virtual ~MethodDecoder() = default;
    enum class Step {
        More,    // all input taken or the output is full: call again
        End,     // the compressed stream is complete
        Damaged, // the data cannot be this method's stream
    };
    // Takes bytes from in/inLen (advancing both) and writes at most outCap
    // bytes to out, adding their count to produced. `last` says no input
    // follows what is given now. A decoder may keep input of its own, so
    // More with inLen == 0 and produced == 0 only means "give me more".
    virtual Step decode(const uint8_t *&in, size_t &inLen, bool last, uint8_t *out, size_t outCap,
                        size_t &produced) = 0;
};

// Everything a decoder may need to know of its member beyond the bytes.
struct MethodMember {
    uint16_t method = 0;
    uint64_t usize = 0; // uncompressed size the directory gives
};

// The decoder for a member's method, or nullptr with `why` set to a
// message naming the method ("compression method 9 (Deflate64) not
// supported").
std::unique_ptr<MethodDecoder> makeDecoder(const MethodMember &m, std::string &why);

// The method's usual name ("Deflate", "BZip2", "LZMA", ...), or its number.
std::string methodName(uint16_t method);

} // namespace zipdll
