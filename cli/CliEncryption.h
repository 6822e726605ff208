#pragma once
// Archive encryption in quellon-cli: which members are encrypted and how,
// and the archive password (not the host's) from a variable, a file or the
// terminal. The password never goes through argv.

#include <optional>
#include <string>
#include <vector>

struct ZipDirEntry;

namespace cli
{

// "2 of 3 member(s) encrypted: AES-256 (AE-2)"; empty when none is.
std::string encryptionSummary(const std::vector<ZipDirEntry> &entries);

// Overwrites the text, then empties it.
void wipeSecret(std::string &s);

// The password to encrypt a new archive with: from VAR or FILE when given,
// otherwise typed twice at the terminal without echo. Nothing (after an
// error line) when none is given, the two differ or it is empty.
// `optionNames` ("--archive-password-env VAR or ...") is what the error
// line advises when there is no terminal.
std::optional<std::string> newArchivePassword(const std::string &envVar, const std::string &file,
                                              const std::string &optionNames);

// The password of an encrypted archive: from VAR or FILE when given,
// otherwise typed once at the terminal. Nothing, after an error line that
// names the options, when there is no terminal to ask.
std::optional<std::string> archivePassword(const std::string &envVar, const std::string &file,
                                           const std::string &archive, const std::string &optionNames);

} // namespace cli

namespace CLI
{
class App;
}
class TZipBuilder;

namespace cli
{

// --encrypt (save only) and --archive-password-env/-file of save, restore
// and info: the archive's own password, apart from the host's.
struct ArchivePasswordOptions {
    bool encrypt = false;
    std::string env, file;
    void add(CLI::App &app, bool forSave);
    // save: with --encrypt, the component encrypts every member with
    // AES-256 under the password (asked twice at the terminal when no
    // option gives it). false after an error line.
    bool prepareSave(TZipBuilder &zip);
    // restore, info: when the archive is encrypted, asks for its password
    // and checks it on the archive's record before anything goes to the
    // host. false after one error line.
    bool unlock(TZipBuilder &zip, const std::string &archive, const std::string &folder);
};

} // namespace cli
