#include "app/CertificateQuestion.h"

#include "platform/Dialogs.h"

#include <QRegularExpression>

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

// Two rows of 16 bytes, so a box never breaks the fingerprint inside a byte.
std::string twoRows(const std::string &fingerprint)
{
    return fingerprint.size() > 48 ? fingerprint.substr(0, 48) + "\n" + fingerprint.substr(48) : fingerprint;
}

} // namespace

std::string fingerprintsOnTheirOwnLines(const std::string &text)
{
    static const QRegularExpression token(
        QStringLiteral("(?:[0-9A-Fa-f]{2}:){31}[0-9A-Fa-f]{2}|SHA256:[A-Za-z0-9+/]{43}=?"));
    const QString in = QString::fromStdString(text);
    QString out;
    qsizetype at = 0;
    for (auto it = token.globalMatch(in); it.hasNext();) {
        const auto m = it.next();
        QString before = in.mid(at, m.capturedStart() - at);
        if (before.endsWith(' '))
            before.chop(1);
        out += before;
        if (!out.isEmpty() && !out.endsWith('\n'))
            out += '\n';
        const std::string fp = m.captured().toStdString();
        out += QString::fromStdString(fp.find(':') == 2 ? twoRows(fp) : fp);
        at = m.capturedEnd();
        // Closing punctuation stays with the fingerprint; the words after it
        // start a new line.
        while (at < in.size() && QStringLiteral(",.;)").contains(in[at]))
            out += in[at++];
        if (at < in.size() && in[at] == ' ') {
            out += '\n';
            ++at;
        }
    }
    out += in.mid(at);
    return out.toStdString();
}

TCertAnswer askAboutCertificate(const std::string &host, const std::string &fingerprint,
                                const std::string &problem)
{
    const std::string shown = twoRows(fingerprint);
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
