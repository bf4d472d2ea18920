// Saves the processor's floating-point state for the lifetime of a scope, so
// that the engines and primitives a module calls may use the floating-point
// unit in kernel mode.  Modules open one around every such call.
#pragma once

#include <wdm.h>

class FloatingPointScope {
public:
    // At most DISPATCH_LEVEL.  When the save fails the floating-point unit must
    // not be used: Saved() is false and nothing is restored.
    FloatingPointScope() : m_status(KeSaveFloatingPointState(&m_save)) {}
    ~FloatingPointScope() {
        if (NT_SUCCESS(m_status)) KeRestoreFloatingPointState(&m_save);
    }
    FloatingPointScope(const FloatingPointScope&) = delete;
    FloatingPointScope& operator=(const FloatingPointScope&) = delete;

    bool Saved() const { return NT_SUCCESS(m_status); }

private:
    KFLOATING_SAVE m_save;
    NTSTATUS m_status;
};
