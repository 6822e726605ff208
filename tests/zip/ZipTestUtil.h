#pragma once
// Builds small stored archives byte by byte, so tests control every field.

#include <zlib.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ziptest {

struct Member {
    Member(std::string n, std::string d) : name(std::move(n)), data(std::move(d)) {}
    std::string name;
    std::string data;
    uint8_t host = 3;      // 0 FAT, 3 Unix, 11 NTFS
    uint8_t madeBy = 30;
    uint16_t flag = 0;
    std::string comment;
};

inline void le16(std::string &s, uint16_t v) { s += char(v & 0xFF); s += char(v >> 8); }
inline void le32(std::string &s, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s += char((v >> (8 * i)) & 0xFF);
}

// Local headers, central directory and end record; `stub` goes in front
// without adjusting any offset.
inline std::string makeZip(const std::vector<Member> &members, const std::string &comment = {},
                           const std::string &stub = {})
{
    std::string body, cd;
    for (const Member &m : members) {
        uint32_t crc = crc32(0, reinterpret_cast<const Bytef *>(m.data.data()), static_cast<uInt>(m.data.size()));
        uint32_t off = static_cast<uint32_t>(body.size());
        le32(body, 0x04034B50); le16(body, 10); le16(body, m.flag); le16(body, 0); le32(body, 0x5A210000);
        le32(body, crc); le32(body, uint32_t(m.data.size())); le32(body, uint32_t(m.data.size()));
        le16(body, uint16_t(m.name.size())); le16(body, 0);
        body += m.name + m.data;
        le32(cd, 0x02014B50); cd += char(m.madeBy); cd += char(m.host); le16(cd, 10); le16(cd, m.flag);
        le16(cd, 0); le32(cd, 0x5A210000); le32(cd, crc); le32(cd, uint32_t(m.data.size()));
        le32(cd, uint32_t(m.data.size())); le16(cd, uint16_t(m.name.size())); le16(cd, 0);
        le16(cd, uint16_t(m.comment.size())); le16(cd, 0); le16(cd, 0); le32(cd, 0); le32(cd, off);
        cd += m.name + m.comment;
    }
    std::string out = stub + body + cd;
    le32(out, 0x06054B50); le16(out, 0); le16(out, 0); le16(out, uint16_t(members.size()));
    le16(out, uint16_t(members.size())); le32(out, uint32_t(cd.size())); le32(out, uint32_t(body.size()));
    le16(out, uint16_t(comment.size()));
    return out + comment;
}

} // namespace ziptest
