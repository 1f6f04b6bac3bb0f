// Product literals shared by both executables. Each is defined once here;
// subsystem-specific texts live beside the code that shows them.
#pragma once

#define LARKSPIRE_NAME L"Larkspire"
#define LARKSPIRE_DISPLAY_NAME L"Larkspire Windows"
#define LARKSPIRE_VERSION L"1.0.0"

// The game's front end and the product's home page. Change a host here and
// every URL built from it follows.
#define LARKSPIRE_PLAY_HOST L"play.larkspire.game"
#define LARKSPIRE_HOME_HOST L"larkspire.game"

inline constexpr const wchar_t *product_name = LARKSPIRE_NAME;
inline constexpr const wchar_t *display_name = LARKSPIRE_DISPLAY_NAME;
inline constexpr const wchar_t *product_version = LARKSPIRE_VERSION;
inline constexpr const wchar_t *uninstall_option = L"--uninstall";
