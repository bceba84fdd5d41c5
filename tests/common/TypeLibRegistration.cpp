#include "tests/common/TypeLibRegistration.h"

#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <gtest/gtest.h>

namespace {

std::wstring Wide(const std::string& text) {
    std::wstring result(text.size() + 1, L'\0');
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &result[0], static_cast<int>(result.size()));
    result.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return result;
}

HRESULT RegisterFile(std::wstring path) {
    platform::ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
    if (FAILED(hr))
        return hr;
    return RegisterTypeLib(library.get(), &path[0], nullptr);
}

} // namespace

TypeLibRegistration::TypeLibRegistration() {
    platform::UniqueBstr path;
    if (QueryPathOfRegTypeLib(LIBID_MorvantisLib, 1, 0, LOCALE_NEUTRAL, path.put()) == S_OK && path)
        m_previousPath = path.get();
}

TypeLibRegistration::~TypeLibRegistration() {
    Unregister();
    if (!m_previousPath.empty())
        RegisterFile(m_previousPath);
}

HRESULT TypeLibRegistration::Register(const std::string& path) {
    return RegisterFile(Wide(path));
}

void TypeLibRegistration::Unregister() {
    for (int attempt = 0; attempt < 4 && IsRegistered(); ++attempt) {
        platform::ComPtr<ITypeLib> library;
        if (FAILED(LoadRegTypeLib(LIBID_MorvantisLib, 1, 0, LOCALE_NEUTRAL, library.put())))
            break;
        SYSKIND kind;
        LCID locale;
        {
            platform::UniqueLibAttr attributes(library.get());
            if (FAILED(library->GetLibAttr(attributes.put())))
                break;
            kind = attributes->syskind;
            locale = attributes->lcid;
        }
        library.reset();
        UnRegisterTypeLib(LIBID_MorvantisLib, 1, 0, locale, kind);
    }
    EXPECT_FALSE(IsRegistered()) << "the type library could not be unregistered";
}

bool TypeLibRegistration::IsRegistered() {
    platform::ComPtr<ITypeLib> library;
    return SUCCEEDED(LoadRegTypeLib(LIBID_MorvantisLib, 1, 0, LOCALE_NEUTRAL, library.put()));
}
