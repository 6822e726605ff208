#pragma once
// The current user's registry, kept in QSettings (organisation "Tamsholt",
// application "Quellon"). Keys are paths below "Software\Tamsholt\Quellon"
// written with '/' ("Hosts/000000001"); sub-key order is QSettings' order.

#include <memory>
#include <string>
#include <vector>

class QSettings;

namespace platform {

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // Tests point the registry at their own file; empty restores the default.
    static void useFile(const std::string &iniPath);

    bool keyExists(const std::string &key) const;
    void createKey(const std::string &key); // keys exist once they hold a value; this marks them
    std::vector<std::string> subKeys(const std::string &key) const;

    bool valueExists(const std::string &key, const std::string &name) const;
    std::string readString(const std::string &key, const std::string &name) const; // missing: ""
    void writeString(const std::string &key, const std::string &name, const std::string &value);
    bool readBool(const std::string &key, const std::string &name) const; // stored as 0/1
    void writeBool(const std::string &key, const std::string &name, bool value);

    void sync();

private:
    std::unique_ptr<QSettings> s_;
};

} // namespace platform
