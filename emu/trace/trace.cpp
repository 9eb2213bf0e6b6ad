#include "trace/trace.h"

#include "common/escape.h"
#include "kernel/trap_table.h"
#include "trace/trace_decode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vekos {

std::string quote(std::string_view bytes, size_t max) {
    std::string out = "\"" + escape_bytes(bytes.substr(0, max), Escapes::Quoted) + "\"";
    if (bytes.size() > max) out += "...";
    return out;
}

std::string describe_trap(const TrapRecord &record) {
    const TrapRow *row = find_trap(record.number);
    std::string out;
    char text[32];
    if (row == nullptr) {
        out = "trap_" + std::to_string(record.number) + "(";
        for (int i = 0; i < 3; i++) {
            std::snprintf(text, sizeof text, "%s0x%x", i ? ", " : "", record.args[i]);
            out += text;
        }
    } else {
        out = std::string(row->name) + "(";
        for (int i = 0; i < row->arity; i++) {
            if (i) out += ", ";
            uint32_t value = record.args[i];
            switch (row->args[i].kind) {
            case ArgKind::Int:
                out += std::to_string(int32_t(value));
                break;
            case ArgKind::Unsigned:
                out += std::to_string(value);
                break;
            case ArgKind::OpenFlags:
                out += describe_open_flags(value);
                break;
            case ArgKind::Whence:
                out += describe_whence(int32_t(value));
                break;
            case ArgKind::MapProt:
                out += describe_map_prot(value);
                break;
            case ArgKind::MapFlags:
                out += describe_map_flags(value);
                break;
            case ArgKind::Path:
            case ArgKind::BufferIn:
            case ArgKind::BufferOut:
                if (record.data[i]) {
                    out += quote(*record.data[i]);
                    break;
                }
                [[fallthrough]];
            case ArgKind::FdPair: // pipe([3, 4]) once filled
                if (record.data[i] && record.data[i]->size() == 8) {
                    int32_t fds[2];
                    std::memcpy(fds, record.data[i]->data(), sizeof fds);
                    out += "[" + std::to_string(fds[0]) + ", " + std::to_string(fds[1]) + "]";
                    break;
                }
                [[fallthrough]];
            case ArgKind::Hex:
            case ArgKind::Pointer:
                std::snprintf(text, sizeof text, "0x%x", value);
                out += text;
                break;
            }
        }
    }
    out += ")";
    if (record.returned && row != nullptr && row->has(kGivesAddress) && record.result != -1) {
        std::snprintf(text, sizeof text, " = 0x%x", uint32_t(record.result));
        out += text;
    } else if (record.returned) {
        out += " = " + std::to_string(record.result);
    } else if (record.waits) {
        out += " waits";
    }
    if (record.returned && record.result == -1 && record.error != 0)
        out += " (" + describe_errno(record.error) + ")";
    return out;
}

void TraceObserver::after(const TrapRecord &record) {
    if (failed_ || (!settings_.only.empty() && !settings_.only.count(record.number))) return;
    if (settings_.out == stderr) console_.flush(); // in order with the program's own output
    char time[32] = "";
    if (settings_.timestamps) {
        std::chrono::duration<double> since = std::chrono::steady_clock::now() - start_;
        std::snprintf(time, sizeof time, "%.6f ", since.count());
    }
    char pid[24] = "";
    if (record.pid != 0) std::snprintf(pid, sizeof pid, "pid %d: ", record.pid);
    if (std::fprintf(settings_.out, "[trace] %s%s%s%s\n", time, pid, describe_trap(record).c_str(),
                     record.scripted ? " (scripted)" : "") < 0 ||
        std::ferror(settings_.out))
        write_failed(errno);
}

bool TraceObserver::finish() {
    if (!failed_ && (std::fflush(settings_.out) != 0 || std::ferror(settings_.out)))
        write_failed(errno);
    return !failed_;
}

void TraceObserver::write_failed(int error) {
    failed_ = true;
    console_.flush();
    const char *name = settings_.out_name.empty() ? "--trace" : settings_.out_name.c_str();
    std::fprintf(stderr, "vekos-emu: %s: %s\n", name, std::strerror(error));
}

} // namespace vekos
