// Loads the KeyPorter given on the command line and prints its PKI listing: the count, then
// one line of hex per certificate. Run in a process of its own so that the library search
// path can be chosen for it.
#include "request_info.h"
#include "test_support.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LIBKEYPORTER\n", argv[0]);
        return 2;
    }
    try {
        kptest::KeyPorterLibrary kp(argv[1]);
        CK_ULONG count = 99;
        TokenCertificate* list = kp.getTokenCertificatesPKI(&count);
        std::printf("%s %lu\n", list == nullptr ? "null" : "list", count);
        for (CK_ULONG i = 0; i < count; ++i) {
            const kptest::Bytes value(list[i].data, list[i].data + list[i].length);
            std::printf("%s\n", kptest::toHex(value).c_str());
        }
        kp.freeTokenCertificates(list, count);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
