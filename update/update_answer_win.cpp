// Verifies an update answer's signature with Windows' own cryptography (CNG).
#include "update/cng_win.h"
#include "update/update_check.h"

namespace {

// A CNG public key blob: the header, then X and Y.
struct P256PublicKeyBlob {
  BCRYPT_ECCKEY_BLOB header;
  PublicKeyPoint point;
};

}  // namespace

bool IsSignedByPublisher(const SignedAnswer& answer, std::span<const PublicKeyPoint> keys) {
  UCHAR digest[32];
  const Algorithm sha256 = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
  const Algorithm ecdsa = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  auto* message = reinterpret_cast<PUCHAR>(const_cast<char*>(answer.signedBytes.data()));
  if (!sha256 || !ecdsa ||
      !BCRYPT_SUCCESS(BCryptHash(sha256.get(), nullptr, 0, message,
                                 static_cast<ULONG>(answer.signedBytes.size()), digest,
                                 sizeof digest)))
    return false;
  for (const PublicKeyPoint& point : keys) {
    P256PublicKeyBlob blob = {{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32}, point};
    BCRYPT_KEY_HANDLE imported = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported,
                                            reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0)))
      continue;
    const Key key(imported);
    AnswerSignature signature = answer.signature;
    if (BCRYPT_SUCCESS(BCryptVerifySignature(key.get(), nullptr, digest, sizeof digest,
                                             signature.data(), signature.size(), 0)))
      return true;
  }
  return false;
}
