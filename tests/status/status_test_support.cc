#include "status/status_test_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

SchedulerChannels::SchedulerChannels(BackChannel kind, std::string_view reply) {
  if (kind == BackChannel::DevNull) {
    backRead_ = UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  } else if (kind != BackChannel::Closed) {
    int back[2];
    if (pipe2(back, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    backRead_ = UniqueFd(back[0]);
    backWrite_ = UniqueFd(back[1]);
    if (kind != BackChannel::BlockingPipe) fcntl(back[0], F_SETFL, O_NONBLOCK);
    this->reply(reply);
    if (kind == BackChannel::PipeWithoutWriter) backWrite_ = UniqueFd();
  }
  int side[2];
  if (socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0, side) != 0) throw std::runtime_error("socketpair failed");
  sideFilter_ = UniqueFd(side[0]);
  sideScheduler_ = UniqueFd(side[1]);
}

std::vector<ChildFd> SchedulerChannels::childFds() const { return {{3, backRead_.get()}, {4, sideFilter_.get()}}; }

void SchedulerChannels::reply(std::string_view bytes) const {
  if (!bytes.empty() && write(backWrite_.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("the reply did not fit the back channel");
  }
}

std::string SchedulerChannels::sideChannelReceived() const {
  std::string received;
  char buffer[256];
  ssize_t got = 0;
  while ((got = recv(sideScheduler_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
    received.append(buffer, static_cast<size_t>(got));
  }
  return received;
}

ScopedDescriptors::ScopedDescriptors(const std::vector<ChildFd>& fds) {
  for (const ChildFd& fd : fds) {
    saved_.emplace_back(fd.target, UniqueFd(fcntl(fd.target, F_DUPFD_CLOEXEC, 100)));
    if (fd.source >= 0) {
      dup2(fd.source, fd.target);
    } else {
      close(fd.target);
    }
  }
}

ScopedDescriptors::~ScopedDescriptors() {
  for (auto& [target, former] : saved_) {
    if (former.get() >= 0) {
      dup2(former.get(), target);
    } else {
      close(target);
    }
  }
}
