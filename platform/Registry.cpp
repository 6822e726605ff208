#include "platform/Registry.h"

#include <QSettings>

namespace platform {
namespace {
std::string overrideFile;

// An empty sub-key has no values; this hidden value keeps it in the list.
const char *const kKeyMarker = ".key";

QString q(const std::string &s) { return QString::fromStdString(s); }
QString path(const std::string &key, const std::string &name) { return q(key + "/" + name); }
} // namespace

Registry::Registry()
{
    if (overrideFile.empty())
        s_ = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Tamsholt", "Quellon");
    else
        s_ = std::make_unique<QSettings>(q(overrideFile), QSettings::IniFormat);
}

Registry::~Registry() = default;

void Registry::useFile(const std::string &iniPath) { overrideFile = iniPath; }

bool Registry::keyExists(const std::string &key) const
{
    s_->beginGroup(q(key));
    bool any = !s_->allKeys().isEmpty();
    s_->endGroup();
    return any;
}

void Registry::createKey(const std::string &key)
{
    if (!keyExists(key))
        s_->setValue(path(key, kKeyMarker), 1);
}

std::vector<std::string> Registry::subKeys(const std::string &key) const
{
    std::vector<std::string> out;
    s_->beginGroup(q(key));
    const auto groups = s_->childGroups();
    s_->endGroup();
    for (const auto &g : groups)
        out.push_back(g.toStdString());
    return out;
}

bool Registry::valueExists(const std::string &key, const std::string &name) const
{
    return s_->contains(path(key, name));
}

std::string Registry::readString(const std::string &key, const std::string &name) const
{
    return s_->value(path(key, name)).toString().toStdString();
}

void Registry::writeString(const std::string &key, const std::string &name, const std::string &value)
{
    s_->setValue(path(key, name), q(value));
}

bool Registry::readBool(const std::string &key, const std::string &name) const
{
    return s_->value(path(key, name), 0).toInt() != 0;
}

void Registry::writeBool(const std::string &key, const std::string &name, bool value)
{
    s_->setValue(path(key, name), value ? 1 : 0);
}

void Registry::sync() { s_->sync(); }

} // namespace platform
