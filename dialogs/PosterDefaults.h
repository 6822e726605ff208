#pragma once
// The poster fields and their defaults under the registry key "Poster".

#include <optional>
#include <string>

#include <QImage>

namespace dialogs {

struct PosterValues {
    std::string file;
    std::string link;
    bool stretch = false;
};

// Room of the record's poster file and poster link fields (terminator excluded).
inline constexpr int kPosterFieldBytes = 255;

// Reads the defaults into `v`. No key: `v` unchanged. A missing
// "PosterStretch" leaves the flag as it was; a value too long for its record
// field is not taken (a cut path would name another file).
void readPosterDefaults(PosterValues &v);
// Writes "Poster", "PosterStretch", "PosterWWW" in this order, creating the key.
void writePosterDefaults(const PosterValues &v);

// Loads a poster picture; when it cannot be loaded, shows why (Qln0079) and
// returns the default poster beside the program instead (null when that is
// missing too). `usedDefault` tells which one came back.
QImage loadPosterOrDefault(const std::string &path, bool *usedDefault = nullptr);
// The default poster "QuellonPoster.bmp" from the program's folder.
std::string defaultPosterPath();

inline constexpr const char *kPictureMessageId = "Qln0079";

} // namespace dialogs
