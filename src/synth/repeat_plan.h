// The repeat plan behind Kavrel_Repeat_Picture and Kavrel_Repeat_Units:
// where the repeat of each picture goes so that every picture is shown in
// its order and the repeated one again right after itself, without raising
// the reordering depth a decoder needs (ITU-T H.264 clauses 8.2.1, 8.2.4,
// 8.2.5, C.4).
#pragma once

#include <cstdint>

struct ParserHandle;

namespace kavrel {

// Follows the access unit of `size` bytes at `unit`, just parsed with the
// handle, and plans a repeat of its picture when `repeat`: 0,
// KAVREL_E_REPEAT_REFUSED or KAVREL_E_REPEAT_BROKEN after a message; -1
// when no plan could be allocated.
int32_t plan_repeat(ParserHandle* handle, const uint8_t* unit, int32_t size, bool repeat);

// Ends the plan (KAVREL_REPEAT_END): every waiting repeat is numbered and
// joins the units to write; the next plan starts at an IDR picture. False
// when one had to be dropped (after a message).
bool end_plan(ParserHandle* handle);

// Writes the units planned for `place` (KavrelRepeatPlace) to out, at most
// `capacity` bytes, and takes them from the plan; out null: the bytes they
// need, nothing taken. -1 with nothing written when they do not fit.
int32_t write_planned_units(ParserHandle* handle, int32_t place, uint8_t* out, int32_t capacity);

// The pictures the units write_planned_units would write for `place` show
// again, in the order written (each the plan_repeat call that gave it, 0
// the first), at most `max` of them; how many there are. For
// KAVREL_REPEAT_END only after write_planned_units measured them.
int32_t planned_pictures(const ParserHandle* handle, int32_t place, uint64_t* pictures, int32_t max);
// The reason of the last refusal or broken plan of plan_repeat, or null.
const char* plan_refusal(const ParserHandle* handle);

}  // namespace kavrel
