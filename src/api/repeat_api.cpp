// The exported calls of the repeat plan: argument checks, then synth/repeat_plan.
#include <climits>

#include "common/diagnostics.h"
#include "kavrel.h"
#include "synth/repeat_plan.h"

extern "C" {

KAVREL_API int32_t Kavrel_Repeat_Picture(ParserHandle* handle, const FrameInput* unit, int32_t repeat) {
    if (!handle || !unit || !unit->data || unit->size > static_cast<uint32_t>(INT32_MAX)) {
        kavrel::diag("[VsKavrel]:Kavrel_Repeat_Picture: Error: NULL Pointer or size out of range\n");
        return -1;
    }
    return kavrel::plan_repeat(handle, unit->data, static_cast<int32_t>(unit->size), repeat != 0);
}

KAVREL_API int32_t Kavrel_Repeat_Units(ParserHandle* handle, int32_t place, uint8_t* out, uint32_t capacity) {
    if (!handle || place < KAVREL_REPEAT_BEFORE || place > KAVREL_REPEAT_END) {
        kavrel::diag("[VsKavrel]:Kavrel_Repeat_Units: Error: NULL Pointer or place out of range\n");
        return -1;
    }
    const int32_t room = capacity > INT32_MAX ? INT32_MAX : static_cast<int32_t>(capacity);
    return kavrel::write_planned_units(handle, place, out, room);
}

KAVREL_API int32_t Kavrel_Repeat_Unit_Pictures(const ParserHandle* handle, int32_t place, uint64_t* pictures,
                                               int32_t max) {
    if (!handle || place < KAVREL_REPEAT_BEFORE || place > KAVREL_REPEAT_END || max < 0 || (!pictures && max > 0)) {
        kavrel::diag("[VsKavrel]:Kavrel_Repeat_Unit_Pictures: Error: NULL Pointer or argument out of range\n");
        return -1;
    }
    return kavrel::planned_pictures(handle, place, pictures, max);
}

}  // extern "C"
