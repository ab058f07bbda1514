#include "install.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

HRESULT CreateShortcut(const WCHAR *targetPath, const WCHAR *linkPath)
{
    IShellLinkW *link = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void **>(&link));
    if (FAILED(hr))
        return hr;
    // A refused target would leave a link to nothing that saves all the same.
    hr = link->SetPath(targetPath);
    IPersistFile *file = nullptr;
    if (SUCCEEDED(hr))
        hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    if (FAILED(hr)) {
        link->Release();
        return hr;
    }
    hr = file->Save(linkPath, TRUE);
    file->Release();
    link->Release();
    return hr;
}
