#include "app/CertificateQuestion.h"

#include "platform/Dialogs.h"

namespace app
{
namespace
{

// The same three answers for a TLS certificate and an SSH host key.
constexpr const char *kTrustChoices = "\nNo: trust it for this connection only.\nCancel: do not connect.";

TCertAnswer askTrust(const std::string &text, const char *caption)
{
    switch (platform::dialogs().messageBox(text, caption, platform::Buttons::YesNoCancel, platform::Icon::Warning)) {
    case platform::mrYes:
        return TCertAnswer::AcceptAndRemember;
    case platform::mrNo:
        return TCertAnswer::Accept;
    default:
        return TCertAnswer::Reject;
    }
}

} // namespace

TCertAnswer askAboutCertificate(const std::string &host, const std::string &fingerprint,
                                const std::string &problem)
{
    // Two rows of 16 bytes, so a box never breaks the fingerprint inside a byte.
    const std::string shown =
        fingerprint.size() > 48 ? fingerprint.substr(0, 48) + "\n" + fingerprint.substr(48) : fingerprint;
    const std::string text = "The certificate of " + host + " could not be verified: " + problem +
                             ".\n\nSHA-256 fingerprint:\n" + shown +
                             "\n\nCompare it with the fingerprint your system administrator gives you."
                             "\n\nYes: trust this certificate for " +
                             host + " from now on." + kTrustChoices;
    return askTrust(text, "Host certificate");
}

TCertAnswer askAboutHostKey(const std::string &host, const std::string &fingerprint,
                            const std::string &knownHostsFile)
{
    const std::string text = "The SSH host key of " + host + " is not known yet (not in " + knownHostsFile +
                             ").\n\nSHA-256 fingerprint:\n" + fingerprint +
                             "\n\nCompare it with the fingerprint your system administrator gives you"
                             " (ssh-keygen -l on the host)."
                             "\n\nYes: trust this key for " +
                             host + " from now on." + kTrustChoices;
    return askTrust(text, "Host key");
}

} // namespace app
