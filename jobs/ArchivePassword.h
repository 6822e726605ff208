#pragma once
// An encrypted archive's password, checked on its record before a restore
// sends anything to the host: the wizard and quellon-cli ask for it once
// and the restore then uses it for the save file too.

#include <string>

class TZipBuilder;

namespace jobs {

// Any member of the archive the component has listed is encrypted.
bool archiveEncrypted(const TZipBuilder &zip);

// Tests the archive's record with zip.Password, asking nobody. false when
// the password is refused (the AES verifier or the ZipCrypto check byte);
// a damaged archive is left for the record reader to report.
bool archivePasswordFits(TZipBuilder &zip, const std::string &folder);

} // namespace jobs
