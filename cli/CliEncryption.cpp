#include "cli/CliEncryption.h"

#include "cli/CliCommon.h"
#include "zip/ZipBuilder.h"
#include "zip/ZipEncryption.h"

#include <map>

namespace cli
{

std::string encryptionSummary(const std::vector<ZipDirEntry> &entries)
{
    std::map<std::string, int> kinds;
    int files = 0, encrypted = 0;
    for (const ZipDirEntry &e : entries) {
        ++files;
        if (const std::string k = ZipEncryptionName(e); !k.empty()) {
            ++kinds[k];
            ++encrypted;
        }
    }
    if (encrypted == 0)
        return {};
    std::string s = std::to_string(encrypted) + " of " + std::to_string(files) + " member(s) encrypted: ";
    bool first = true;
    for (const auto &[kind, n] : kinds) {
        s += first ? "" : ", ";
        s += kinds.size() > 1 ? std::to_string(n) + " " + kind : kind;
        first = false;
    }
    return s;
}

void wipeSecret(std::string &s)
{
    volatile char *p = s.data();
    for (size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
    s.clear();
}

namespace
{

std::optional<std::string> fromOptions(const std::string &envVar, const std::string &file)
{
    auto pw = readPassword(envVar, file);
    if (pw && pw->empty()) {
        error("the archive password is empty");
        return std::nullopt;
    }
    return pw;
}

} // namespace

std::optional<std::string> newArchivePassword(const std::string &envVar, const std::string &file,
                                              const std::string &optionNames)
{
    if (!envVar.empty() || !file.empty())
        return fromOptions(envVar, file);
    auto first =
        askAtTerminal("Archive password: ", "no terminal to ask for the archive password: give " + optionNames);
    if (!first)
        return std::nullopt;
    auto second = askAtTerminal("Archive password again: ");
    std::optional<std::string> result;
    if (first->empty())
        error("the archive password is empty");
    else if (!second || *second != *first)
        error("the two archive passwords differ; nothing done");
    else
        result = *first;
    wipeSecret(*first);
    if (second)
        wipeSecret(*second);
    return result;
}

std::optional<std::string> archivePassword(const std::string &envVar, const std::string &file,
                                           const std::string &archive, const std::string &optionNames)
{
    if (!envVar.empty() || !file.empty())
        return fromOptions(envVar, file);
    auto pw = askAtTerminal("Password of " + archive + ": ",
                            archive + " is encrypted: give its password with " + optionNames);
    if (!pw)
        return std::nullopt;
    if (pw->empty()) {
        error("the archive password is empty");
        return std::nullopt;
    }
    return pw;
}

} // namespace cli

#include "jobs/ArchivePassword.h"

#include <CLI/CLI.hpp>

namespace cli
{

namespace
{
const char kArchiveOptions[] = "--archive-password-env VAR or --archive-password-file FILE";
} // namespace

void ArchivePasswordOptions::add(CLI::App &app, bool forSave)
{
    if (forSave)
        app.add_flag("--encrypt", encrypt,
                     "encrypt the archive with AES-256 (password typed twice, or the options below)");
    app.add_option("--archive-password-env", env, "read the archive's password from this environment variable");
    app.add_option("--archive-password-file", file, "read the archive's password from the first line of this file");
}

bool ArchivePasswordOptions::prepareSave(TZipBuilder &zip)
{
    if (!encrypt) {
        if (!env.empty() || !file.empty()) {
            error("--archive-password-env and --archive-password-file need --encrypt");
            return false;
        }
        return true;
    }
    auto pw = newArchivePassword(env, file, kArchiveOptions);
    if (!pw)
        return false;
    zip.Password = *pw;
    wipeSecret(*pw);
    zip.AddEncryption = zeAES256;
    zip.AddOptions.insert(AddEncrypt);
    return true;
}

bool ArchivePasswordOptions::unlock(TZipBuilder &zip, const std::string &archive, const std::string &folder)
{
    zip.SetZipFileName(archive);
    if (zip.ZipFileName().empty() || !jobs::archiveEncrypted(zip))
        return true; // the record reader reports an unreadable archive
    auto pw = archivePassword(env, file, archive, kArchiveOptions);
    if (!pw)
        return false;
    zip.Password = *pw;
    wipeSecret(*pw);
    if (!jobs::archivePasswordFits(zip, folder)) {
        error("wrong password for " + archive + "; nothing was sent to the host");
        return false;
    }
    return true;
}

} // namespace cli
