// rootcert add|remove CERT.der
// Puts a test certificate authority into the machine's Root store of the Wine prefix, or takes it
// out again, so an HTTPS test trusts its own server for its own run and nothing else ever does.
// Prints "added", "removed" or "absent"; exit code 1 on failure.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/win32/handle.h"

namespace {

BOOL CloseStore(HCERTSTORE store) { return CertCloseStore(store, 0); }
using UniqueStore = rt::win32::UniqueHandle<rt::win32::detail::NullIsNone<HCERTSTORE, CloseStore>>;
using UniqueCertificate =
    rt::win32::UniqueHandle<rt::win32::detail::NullIsNone<PCCERT_CONTEXT, CertFreeCertificateContext>>;

bool ReadAll(const char* path, std::vector<BYTE>& bytes) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  BYTE block[4096];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
  std::fclose(file);
  return !bytes.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<BYTE> der;
  if (argc != 3 || !ReadAll(argv[2], der)) {
    std::fprintf(stderr, "usage: rootcert add|remove CERT.der\n");
    return 2;
  }
  UniqueStore root(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT"));
  UniqueCertificate certificate(
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  if (!root || !certificate) {
    std::printf("failed %lu\n", GetLastError());
    return 1;
  }
  if (std::strcmp(argv[1], "add") == 0) {
    if (!CertAddCertificateContextToStore(root.get(), certificate.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      std::printf("failed %lu\n", GetLastError());
      return 1;
    }
    std::printf("added\n");
    return 0;
  }
  // Under Wine the Root store is a collection that also holds the host's authorities, and deleting
  // through it leaves the registry entry in place; so the entry itself (named by the certificate's
  // SHA-1 thumbprint) is deleted.
  BYTE hash[20];
  DWORD size = sizeof hash;
  if (!CertGetCertificateContextProperty(certificate.get(), CERT_SHA1_HASH_PROP_ID, hash, &size)) {
    std::printf("failed %lu\n", GetLastError());
    return 1;
  }
  char key[128] = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
  for (DWORD i = 0; i < size; ++i) std::snprintf(key + std::strlen(key), 3, "%02X", hash[i]);
  const LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
  if (result == ERROR_FILE_NOT_FOUND) {
    std::printf("absent\n");
    return 0;
  }
  if (result != ERROR_SUCCESS) {
    std::printf("failed %ld\n", result);
    return 1;
  }
  std::printf("removed\n");
  return 0;
}
