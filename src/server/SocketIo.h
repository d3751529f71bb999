#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

// Blocking socket calls, one concern each, with interrupted calls retried in place.
namespace SocketIo {

// Sets SO_RCVTIMEO or SO_SNDTIMEO; a zero duration would mean "forever", so it is raised
// to the smallest step.
void setTimeout(int fd, int option, std::chrono::microseconds timeout);

// Writes every byte; false on any error (the peer gone, the send timeout). Never raises
// SIGPIPE.
bool sendAll(int fd, std::string_view bytes);

// Receives up to `capacity` bytes; returns the count, 0 when the peer closed, -1 on error.
long receiveSome(int fd, char* buffer, std::size_t capacity);

// Sends exactly `size` bytes of `fileFd` from its start in steps of at most `step`
// without copying them through user space, calling `afterStep` after each step.
// False when the socket failed or the file ended early or could not be read.
bool sendFile(int socketFd, int fileFd, std::uint64_t size, std::size_t step, const std::function<void()>& afterStep);

}  // namespace SocketIo
