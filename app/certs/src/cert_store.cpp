#include "certdesk/cert_store.h"

#include <cert.h>
#include <nss.h>
#include <pk11pub.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "certdesk/codec.h"
#include "certdesk/text_utils.h"

namespace certdesk {
namespace {

struct ContextShutdown {
    void operator()(NSSInitContext* context) const { NSS_ShutdownContext(context); }
};
struct CertListDestroy {
    void operator()(CERTCertList* list) const { CERT_DestroyCertList(list); }
};

}  // namespace

std::filesystem::path PersonalStoreFolder() {
    std::filesystem::path home;
    if (const char* env = std::getenv("HOME"); env && env[0] != '\0')
        home = env;
    else if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        home = entry->pw_dir;
    return home / ".pki" / "nssdb";
}

std::vector<StoreCertificate> ListStoreCertificates() {
    std::vector<StoreCertificate> store;
    const std::filesystem::path folder = PersonalStoreFolder();
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        return store;
    const std::string database = "sql:" + folder.native();
    // Read-only and without the built-in roots: only what the user put there.
    const std::unique_ptr<NSSInitContext, ContextShutdown> context(NSS_InitContext(
        database.c_str(), "", "", "", nullptr, NSS_INIT_READONLY | NSS_INIT_NOROOTINIT));
    if (!context)
        return store;
    const std::unique_ptr<CERTCertList, CertListDestroy> list(
        PK11_ListCerts(PK11CertListUnique, nullptr));
    if (!list)
        return store;
    for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
         node = CERT_LIST_NEXT(node)) {
        const SECItem& der = node->cert->derCert;
        StoreCertificate entry;
        entry.der.assign(reinterpret_cast<const char*>(der.data), der.len);
        entry.certificate = DecodeCertificate(entry.der);
        if (!entry.certificate)
            continue;
        TCertInfo info;
        TVCertMgr::GetCertInfoFromContext(*entry.certificate, ciNotAfter, info);
        entry.issuedTo = SubjectDisplayName(*entry.certificate);
        entry.issuedBy = IssuerDisplayName(*entry.certificate);
        entry.validTo = DateText(UnixToDateTime(info.NotAfter));
        if (node->cert->nickname)
            entry.friendlyName = AnsiFromUtf8(node->cert->nickname);
        TVCertMgr::FreeCertInfo(info);
        store.push_back(std::move(entry));
    }
    return store;
}

}  // namespace certdesk
