// Owners of CNG's handles, shared by the answer's verification and the installer's digest.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <memory>
#include <type_traits>

struct AlgorithmCloser {
  void operator()(BCRYPT_ALG_HANDLE algorithm) const { BCryptCloseAlgorithmProvider(algorithm, 0); }
};
using Algorithm = std::unique_ptr<std::remove_pointer_t<BCRYPT_ALG_HANDLE>, AlgorithmCloser>;

struct KeyDestroyer {
  void operator()(BCRYPT_KEY_HANDLE key) const { BCryptDestroyKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<BCRYPT_KEY_HANDLE>, KeyDestroyer>;

struct HashDestroyer {
  void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};
using Hash = std::unique_ptr<std::remove_pointer_t<BCRYPT_HASH_HANDLE>, HashDestroyer>;

// The algorithm's provider, or null.
inline Algorithm OpenAlgorithm(LPCWSTR name) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  return Algorithm(BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0))
                       ? algorithm
                       : nullptr);
}
