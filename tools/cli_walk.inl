// Implementation of walk_stream (included by cli_common.h).
#pragma once

namespace kavrel_cli {

// Position of the next 00 00 01 at or after `from`, or data.size().
size_t next_start_code(const Bytes& data, size_t from);

template <typename Visit>
int walk_stream(ParserHandle* handle, const Bytes& data, bool keep_going, Visit&& visit) {
    int failures = 0;
    size_t pos = 0;
    while (pos < data.size()) {
        AccessUnit au;
        au.offset = pos;
        const size_t rest = data.size() - pos;
        FrameInput input{data.data() + pos, static_cast<uint32_t>(rest)};
        au.result = Kavrel_Start(handle, &input, &au.info);
        if (au.result < 0) {
            ++failures;
            // Resume after the start code that began the failed unit.
            size_t next = next_start_code(data, next_start_code(data, pos) + 3);
            au.size = static_cast<uint32_t>((next < data.size() ? next : data.size()) - pos);
            visit(au);
            if (!keep_going) break;
            pos = next;
            continue;
        }
        uint32_t consumed = au.info.consumed;
        // The last unit of a file: the library stops its start-code search
        // three bytes before the end; those bytes belong to this unit.
        if (consumed == 0 || pos + consumed + 3 >= data.size()) consumed = static_cast<uint32_t>(rest);
        au.size = consumed;
        visit(au);
        pos += consumed;
    }
    return failures;
}

}  // namespace kavrel_cli
