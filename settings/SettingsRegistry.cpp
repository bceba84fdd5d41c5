#include "settings/SettingsRegistry.h"

#include "registry/Registry.h"

namespace {

const SettingsRegistry kSystemRegistry = {&registry::CreateKey, &registry::OpenKey, &registry::SetValue};

const SettingsRegistry* g_settingsRegistry = &kSystemRegistry;

} // namespace

const SettingsRegistry& SystemSettingsRegistry() {
    return kSystemRegistry;
}

const SettingsRegistry& CurrentSettingsRegistry() {
    return *g_settingsRegistry;
}

void SetSettingsRegistry(const SettingsRegistry* calls) {
    g_settingsRegistry = calls != nullptr ? calls : &kSystemRegistry;
}
