// Replaces one entry of this executable's import address table for the
// length of a scope. Calls from the production code go through the mingw
// __imp_Name pointer, so a test can fake exactly one Windows function while
// Wine supplies every other one for real.
#pragma once

#include <windows.h>

// Declares the import slot and real_Name, the Windows function captured
// before any test patches the slot, for fakes that forward.
#define DECLARE_IMPORT(name)                 \
    extern "C" decltype(&name) __imp_##name; \
    inline const decltype(&name) real_##name = __imp_##name

template <typename Function>
class ImportPatch {
public:
    ImportPatch(Function *slot, Function replacement) : slot_(slot), original_(*slot)
    {
        write(replacement);
    }
    ~ImportPatch() { write(original_); }
    ImportPatch(const ImportPatch &) = delete;
    ImportPatch &operator=(const ImportPatch &) = delete;
    Function original() const { return original_; }

private:
    void write(Function value)
    {
        DWORD old = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old);
        *slot_ = value;
        VirtualProtect(slot_, sizeof *slot_, old, &old);
    }
    Function *slot_;
    Function original_;
};

// PATCH_IMPORT(MessageBoxW, fake) declares a local patch named patch_MessageBoxW.
#define PATCH_IMPORT(name, replacement) \
    ImportPatch<decltype(&name)> patch_##name = {&__imp_##name, replacement}
