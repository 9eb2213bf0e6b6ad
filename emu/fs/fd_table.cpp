#include "fs/fd_table.h"

#include <algorithm>
#include <cerrno>

namespace vekos {

FdTable::FdTable() {
    for (int32_t fd = 0; fd < kFirstFile; fd++) slots_[fd].kind = Descriptor::Kind::Console;
}

const Descriptor *FdTable::get(int32_t fd) const {
    if (fd < 0 || fd >= kMaxDescriptors || slots_[fd].kind == Descriptor::Kind::Free)
        return nullptr;
    return &slots_[fd];
}

int32_t FdTable::lowest_free(int32_t from) const {
    for (int32_t fd = from; fd < kMaxDescriptors; fd++)
        if (slots_[fd].kind == Descriptor::Kind::Free) return fd;
    return -1;
}

FdTable::Number FdTable::add(std::shared_ptr<OpenFile> file) {
    int32_t fd = lowest_free(kFirstFile);
    if (fd < 0) return HostError{EMFILE};
    slots_[fd] = {Descriptor::Kind::File, std::move(file), nullptr};
    return fd;
}

FdTable::Number FdTable::add(std::shared_ptr<PipeEnd> end) {
    int32_t fd = lowest_free(kFirstFile);
    if (fd < 0) return HostError{EMFILE};
    slots_[fd] = {Descriptor::Kind::Pipe, nullptr, std::move(end)};
    return fd;
}

bool FdTable::holds(const Pipe &pipe, Pipe::Side side) const {
    return std::any_of(slots_.begin(), slots_.end(), [&](const Descriptor &d) {
        return d.kind == Descriptor::Kind::Pipe && &d.pipe->pipe() == &pipe &&
               d.pipe->side() == side;
    });
}

FdTable::Number FdTable::close(int32_t fd) {
    if (get(fd) == nullptr) return HostError{EBADF};
    slots_[fd] = {};
    return 0;
}

FdTable::Number FdTable::dup(int32_t fd) {
    if (get(fd) == nullptr) return HostError{EBADF};
    int32_t copy = lowest_free(0); // like POSIX dup: any free number, lowest first
    if (copy < 0) return HostError{EMFILE};
    slots_[copy] = slots_[fd];
    return copy;
}

FdTable::Number FdTable::dup2(int32_t fd, int32_t target) {
    if (get(fd) == nullptr || target < 0 || target >= kMaxDescriptors) return HostError{EBADF};
    if (fd != target) slots_[target] = slots_[fd];
    return target;
}

FdTable FdTable::for_child(const std::array<int32_t, 3> &stdio, bool inherit) const {
    FdTable child;
    for (int32_t i = 0; i < kFirstFile; i++) {
        const Descriptor *from = get(stdio[size_t(i)] == -1 ? i : stdio[size_t(i)]);
        child.slots_[size_t(i)] = from != nullptr ? *from : Descriptor{};
    }
    if (inherit)
        for (int32_t i = kFirstFile; i < kMaxDescriptors; i++)
            child.slots_[size_t(i)] = slots_[size_t(i)];
    return child;
}

} // namespace vekos
