#include "dialogs/PosterDefaults.h"

#include "dialogs/PosterPicture.h"
#include "dialogs/ProductInfo.h"
#include "platform/Dialogs.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"

namespace dialogs {
namespace {
const char *const kKey = "Poster";
} // namespace

void readPosterDefaults(PosterValues &v)
{
    try {
        platform::Registry reg;
        if (!reg.keyExists(kKey))
            return;
        const std::string file = reg.readString(kKey, "Poster");
        const std::string link = reg.readString(kKey, "PosterWWW");
        if (file.size() <= kPosterFieldBytes)
            v.file = file;
        if (link.size() <= kPosterFieldBytes)
            v.link = link;
        if (!reg.valueExists(kKey, "PosterStretch"))
            return;
        v.stretch = reg.readBool(kKey, "PosterStretch");
    } catch (...) {
        // Registry trouble only costs the defaults.
    }
}

void writePosterDefaults(const PosterValues &v)
{
    try {
        platform::Registry reg;
        reg.createKey(kKey);
        reg.writeString(kKey, "Poster", v.file);
        reg.writeBool(kKey, "PosterStretch", v.stretch);
        reg.writeString(kKey, "PosterWWW", v.link);
        reg.sync();
    } catch (...) {
    }
}

std::string defaultPosterPath() { return platform::programDir() + kDefaultPosterFile; }

QImage loadPosterOrDefault(const std::string &path, bool *usedDefault)
{
    QImage img;
    std::string error;
    if (usedDefault)
        *usedDefault = false;
    if (loadPosterPicture(path, img, error))
        return img;
    // A poster that cannot be shown must not stop the job: say why and show
    // the program's own picture.
    std::string text = "The poster '" + path + "' cannot be shown: " + error + ".";
    const std::string fallback = defaultPosterPath();
    std::string fallbackError;
    QImage def;
    if (path != fallback && loadPosterPicture(fallback, def, fallbackError))
        text += "\nThe default poster is shown instead.";
    else if (path != fallback)
        text += "\nThe default poster '" + fallback + "' cannot be shown either: " + fallbackError + ".";
    platform::dialogs().messageBox(text, platform::messageIdCaption(kPictureMessageId), platform::Buttons::Ok,
                                   platform::Icon::Warning);
    if (usedDefault)
        *usedDefault = true;
    return def;
}

} // namespace dialogs
