#pragma once
// Self-signed host certificates made at run time for the TLS tests.

#include <string>

namespace testsupport
{

struct TestCert {
    std::string file;        // certificate and key, PEM, in one file
    std::string fingerprint; // SHA-256 as "AB:CD:..."
};

// A certificate for 127.0.0.1 (and localhost) with its key, written to `path`.
TestCert makeTestCert(const std::string &path, const char *commonName);

} // namespace testsupport
