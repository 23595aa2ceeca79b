// A TCP forwarder on a port of its own in front of a local service, which a
// test can take down (connections refused, open ones cut) and bring back on
// the same port: a service outage without stopping the shared service.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testing_support {

class TcpProxy {
 public:
  explicit TcpProxy(int target_port) : target_(target_port) {
    listen_on(0);
    accepter_ = std::thread([this] { accept_loop(); });
  }
  ~TcpProxy() {
    stop_ = true;
    set_down(true);
    if (accepter_.joinable()) accepter_.join();
    for (auto& t : pipes_) {
      if (t.joinable()) t.join();
    }
  }
  int port() const { return port_; }

  // Down: the port refuses connections and every open one is closed.
  void set_down(bool down) {
    std::lock_guard lock(mu_);
    if (down && listener_ >= 0) {
      // Shut down first: a poll still waiting on it would keep it listening.
      ::shutdown(listener_, SHUT_RDWR);
      ::close(listener_);
      listener_ = -1;
      for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    } else if (!down && listener_ < 0 && !stop_) {
      listen_on(port_);
    }
  }

 private:
  void listen_on(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool bound = false;
    for (int i = 0; i < 100 && !bound; ++i) {
      bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      if (!bound) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!bound || ::listen(fd, 64) != 0) {
      ::close(fd);
      throw std::runtime_error("proxy: cannot listen");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listener_ = fd;
  }

  void accept_loop() {
    while (!stop_) {
      int lfd;
      {
        std::lock_guard lock(mu_);
        lfd = listener_;
      }
      if (lfd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      pollfd p{lfd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN)) continue;
      std::lock_guard lock(mu_);
      if (listener_ != lfd) continue;
      const int client = ::accept(lfd, nullptr, nullptr);
      if (client < 0) continue;
      const int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(target_));
      if (::connect(upstream, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(client);
        ::close(upstream);
        continue;
      }
      open_.push_back(client);
      open_.push_back(upstream);
      pipes_.emplace_back([this, client, upstream] { pump(client, upstream); });
    }
  }

  void pump(int a, int b) {
    char buf[65536];
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    bool open = true;
    while (open && !stop_) {
      if (::poll(fds, 2, 100) < 0) break;
      for (int i = 0; i < 2 && open; ++i) {
        if (!fds[i].revents) continue;
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        // MSG_NOSIGNAL: a peer that has gone must end this pipe, not raise
        // SIGPIPE in the whole test process.
        if (n <= 0 || ::send(fds[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) open = false;
      }
    }
    std::lock_guard lock(mu_);
    for (int fd : {a, b}) {
      ::close(fd);
      std::erase(open_, fd);
    }
  }

  int target_;
  int port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<int> open_;
  std::thread accepter_;
  std::vector<std::thread> pipes_;
};

}  // namespace testing_support
