// What Windows' certificate functions make of the certificates the TLS tests
// use, without Qt: the two steps Qt's schannel backend takes that failed under
// Wine. Static mingw-w64 program; scripts/wine-tls-probes runs it.
//   tls_probe chain CA.der LEAF.der   the chain CertGetCertificateChain builds
//                                     for LEAF with CA in an additional store
//                                     (a collection, as the backend passes it)
//   tls_probe find CLIENT.p12         PFXImportCertStore (empty pass phrase),
//                                     then CertFindChainInStore by issuer for
//                                     client authentication
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::vector<BYTE> readAll(const char *path)
{
    std::vector<BYTE> data;
    if (FILE *f = std::fopen(path, "rb")) {
        BYTE buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            data.insert(data.end(), buf, buf + n);
        std::fclose(f);
    }
    return data;
}

const CERT_CONTEXT *load(const char *path)
{
    const std::vector<BYTE> der = readAll(path);
    const CERT_CONTEXT *c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    if (!c)
        std::printf("%s: not a DER certificate (error %lu)\n", path, GetLastError());
    return c;
}

int chain(const char *caPath, const char *leafPath)
{
    const CERT_CONTEXT *ca = load(caPath);
    const CERT_CONTEXT *leaf = load(leafPath);
    if (!ca || !leaf)
        return 2;
    HCERTSTORE caStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertAddCertificateContextToStore(caStore, ca, CERT_STORE_ADD_ALWAYS, nullptr);
    HCERTSTORE collection = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    CertAddStoreToCollection(collection, caStore, 0, 1);
    for (const bool viaCollection : {true, false}) {
        CERT_CHAIN_PARA para {};
        para.cbSize = sizeof para;
        para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        para.RequestedUsage.Usage.cUsageIdentifier = 1;
        LPSTR oid = LPSTR(szOID_PKIX_KP_SERVER_AUTH);
        para.RequestedUsage.Usage.rgpszUsageIdentifier = &oid;
        const CERT_CHAIN_CONTEXT *ctx = nullptr;
        const BOOL ok = CertGetCertificateChain(nullptr, leaf, nullptr, viaCollection ? collection : caStore,
                                                &para, CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT,
                                                nullptr, &ctx);
        std::printf("chain (CA in %s): %s", viaCollection ? "a collection" : "a memory store",
                    ok ? "built" : "failed");
        if (ok && ctx && ctx->cChain > 0) {
            const CERT_SIMPLE_CHAIN *c = ctx->rgpChain[ctx->cChain - 1];
            std::printf(", %lu element(s), status 0x%08lx%s%s%s\n", c->cElement, c->TrustStatus.dwErrorStatus,
                        (c->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) ? " PARTIAL_CHAIN" : "",
                        (c->TrustStatus.dwErrorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) ? " UNTRUSTED_ROOT" : "",
                        (c->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_SIGNATURE_VALID) ? " NOT_SIGNATURE_VALID" : "");
        } else {
            std::printf(" (error %lu)\n", GetLastError());
        }
        if (ctx)
            CertFreeCertificateChain(ctx);
    }
    return 0;
}

int find(const char *p12Path)
{
    std::vector<BYTE> data = readAll(p12Path);
    CRYPT_DATA_BLOB blob {DWORD(data.size()), data.data()};
    std::printf("PFXIsPFXBlob: %s\n", PFXIsPFXBlob(&blob) ? "yes" : "no");
    HCERTSTORE store = PFXImportCertStore(&blob, L"", 0);
    std::printf("PFXImportCertStore (pass phrase \"\"): %s", store ? "imported" : "failed");
    if (!store) {
        std::printf(" (error %lu)\n", GetLastError());
        return 1;
    }
    int certs = 0, withKey = 0;
    const CERT_CONTEXT *c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c))) {
        ++certs;
        DWORD size = 0;
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
            ++withKey;
    }
    std::printf(", %d certificate(s), %d with a key\n", certs, withKey);
    CERT_CHAIN_FIND_BY_ISSUER_PARA find {};
    find.cbSize = sizeof find;
    find.pszUsageIdentifier = szOID_PKIX_KP_CLIENT_AUTH;
    const CERT_CHAIN_CONTEXT *chain = CertFindChainInStore(store, X509_ASN_ENCODING, 0,
                                                           CERT_CHAIN_FIND_BY_ISSUER, &find, nullptr);
    std::printf("CertFindChainInStore (by issuer, client auth): %s", chain ? "found" : "none");
    if (!chain)
        std::printf(" (error %lu)", GetLastError());
    std::printf("\n");
    find.pszUsageIdentifier = nullptr;
    const CERT_CHAIN_CONTEXT *any = CertFindChainInStore(store, X509_ASN_ENCODING, 0,
                                                         CERT_CHAIN_FIND_BY_ISSUER, &find, nullptr);
    std::printf("CertFindChainInStore (by issuer, any usage): %s\n", any ? "found" : "none");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "chain") == 0)
        return chain(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "find") == 0)
        return find(argv[2]);
    std::fprintf(stderr, "usage: tls_probe chain CA.der LEAF.der | find CLIENT.p12\n");
    return 2;
}
