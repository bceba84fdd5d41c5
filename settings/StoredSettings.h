#pragma once
// Where the driver's two settings are stored and how a stored text becomes the
// value the driver uses. The setup dialog loads through these; so do the tools
// that show a user what the driver will use, without making a dialog.

#include "platform/Owners.h"

#include <windows.h>

// The driver's ASCOM profile key, which holds the settings: below
// HKEY_LOCAL_MACHINE, in the 32-bit view of the registry in both bitnesses (where
// clients look for ASCOM drivers), so that both builds share one set.
extern const char* const g_settingsKey;

namespace settings {

enum class KeyAccess {
    Read,           // read-only: what a standard user is granted on the key
    Write,          // read-write, the key only if it exists
    Create,         // read-write, created when missing
    CreateElseRead, // as Create; where write access is refused, as Read
};
// Opens the settings key through the settings store's registry calls; the
// registry's result (of the read-only attempt, for a refused CreateElseRead).
LONG OpenSettingsKey(KeyAccess access, platform::UniqueHKey& key);

constexpr DWORD kTextBufferSize = 256;
constexpr int kDefaultMaxPosition = 10000;

// Copies the value's bytes, whatever its type, into text as a terminated string
// of at most 255 characters; a missing value, or one that does not fit, leaves it empty.
void QueryText(HKEY key, const char* name, char (&text)[kTextBufferSize]);
// atoi's reading (blanks, a sign, the digits up to the first other character; 0
// without digits), with numbers beyond the 32-bit range held at its ends.
int ParseSetting(const char* text);
// The bounds the driver holds parsed settings to: port index 0 to 63, maximum
// position 10 to 100000 with 0 (missing, empty, not a number) meaning 10000.
void ClampSettings(int& portIndex, int& maxPosition);

// The two settings as stored (texts, empty when missing) and as the driver uses
// them (parsed and clamped).
struct SettingsValues {
    char portText[kTextBufferSize];
    char maxText[kTextBufferSize];
    int portIndex;
    int maxPosition;
};
// Reads "COM" and "MaxPos" from key; a null key stands for none stored, which
// gives the defaults.
void ReadSettings(HKEY key, SettingsValues& values);

// Stores value as decimal text (REG_SZ) through the settings store's registry
// calls; false when the write is refused.
bool WriteSetting(HKEY key, const char* name, int value);

} // namespace settings
