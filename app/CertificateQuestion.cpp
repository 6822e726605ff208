#include "app/CertificateQuestion.h"

#include "platform/Dialogs.h"

namespace app
{

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
                             host +
                             " from now on."
                             "\nNo: trust it for this connection only."
                             "\nCancel: do not connect.";
    switch (platform::dialogs().messageBox(text, "Host certificate", platform::Buttons::YesNoCancel,
                                           platform::Icon::Warning)) {
    case platform::mrYes:
        return TCertAnswer::AcceptAndRemember;
    case platform::mrNo:
        return TCertAnswer::Accept;
    default:
        return TCertAnswer::Reject;
    }
}

TCertAnswer askAboutHostKey(const std::string &host, const std::string &fingerprint,
                            const std::string &knownHostsFile)
{
    const std::string text = "The SSH host key of " + host + " is not known yet (not in " + knownHostsFile +
                             ").\n\nSHA-256 fingerprint:\n" + fingerprint +
                             "\n\nCompare it with the fingerprint your system administrator gives you"
                             " (ssh-keygen -l on the host)."
                             "\n\nYes: trust this key for " +
                             host +
                             " from now on."
                             "\nNo: trust it for this connection only."
                             "\nCancel: do not connect.";
    switch (platform::dialogs().messageBox(text, "Host key", platform::Buttons::YesNoCancel,
                                           platform::Icon::Warning)) {
    case platform::mrYes:
        return TCertAnswer::AcceptAndRemember;
    case platform::mrNo:
        return TCertAnswer::Accept;
    default:
        return TCertAnswer::Reject;
    }
}

} // namespace app
