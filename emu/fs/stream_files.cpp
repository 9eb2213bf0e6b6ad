#include "fs/stream_files.h"

#include "fs/replace_file.h"

#include <cerrno>
#include <utility>

namespace vekos {

std::optional<StreamFiles::Stream> *StreamFiles::find(int32_t handle) {
    if (handle < 1 || handle > kMaxStreams || !streams_[size_t(handle - 1)]) return nullptr;
    return &streams_[size_t(handle - 1)];
}

StreamFiles::Answer StreamFiles::begin(RootPlace place) {
    if (auto why = replace_refused(place)) return *why;
    for (size_t i = 0; i < streams_.size(); i++) {
        if (streams_[i]) continue;
        streams_[i].emplace(Stream{std::move(place), {}});
        return int32_t(i + 1);
    }
    return HostError{EMFILE};
}

StreamFiles::Answer StreamFiles::write(int32_t handle, std::span<const uint8_t> bytes) {
    auto *stream = find(handle);
    if (stream == nullptr) return HostError{EBADF};
    if (bytes.size() > kMaxHeldBytes - held_ || !budget_.take(bytes.size()))
        return HostError{ENOMEM};
    held_ += bytes.size();
    std::vector<uint8_t> &content = (*stream)->content;
    content.insert(content.end(), bytes.begin(), bytes.end());
    return int32_t(bytes.size());
}

StreamFiles::Answer StreamFiles::end(int32_t handle, bool unnamed_temp) {
    auto *stream = find(handle);
    if (stream == nullptr) return HostError{EBADF};
    auto why = replace_file((*stream)->place, (*stream)->content, unnamed_temp);
    release(*stream);
    if (why) return *why;
    return 0;
}

void StreamFiles::release(std::optional<Stream> &stream) {
    const uint64_t bytes = stream->content.size();
    held_ -= bytes;
    budget_.give_back(bytes);
    stream.reset();
}

void StreamFiles::drop_all() {
    for (std::optional<Stream> &stream : streams_)
        if (stream) release(stream);
}

} // namespace vekos
