// Takes over a reference the caller already owns. mingw-w64's ComPtr::Attach adds a reference
// of its own (the Windows SDK's does not), which would leak every object attached with it.
#pragma once

#include <wrl/client.h>

template <typename T>
Microsoft::WRL::ComPtr<T> AdoptComPtr(T* owned) {
  Microsoft::WRL::ComPtr<T> pointer;
  *pointer.GetAddressOf() = owned;
  return pointer;
}
