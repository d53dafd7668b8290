#pragma once
// A small HTTP/1.1 server on 127.0.0.1 inside a test program, for the HTTP layer and the update
// check. Each path answers as its route says: a status and a body, a silent peer that accepts and
// never answers (until the server ends), or a body cut short after some bytes. Unknown paths
// answer 404. Every request target is logged.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace http_test {

struct route {
    enum kind { answer, silent, cut } mode = answer;
    int status = 200;
    std::string body;
    std::size_t cut_after = 0; // cut: bytes of the body sent before the connection is closed
};

inline route silent_route()
{
    route r;
    r.mode = route::silent;
    return r;
}

class server {
public:
    server()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 64);
        acceptor_ = std::thread([this] { accept_loop(); });
    }

    ~server()
    {
        stopping_ = true;
        closesocket(listener_);
        acceptor_.join();
        {
            std::lock_guard guard(lock_);
            for (SOCKET s : open_)
                closesocket(s);
            open_.clear();
        }
        for (std::thread& t : workers_)
            t.join();
        WSACleanup();
    }

    server(const server&) = delete;
    server& operator=(const server&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    std::wstring base() const { return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/"; }

    void set(const std::string& path, route r)
    {
        std::lock_guard guard(lock_);
        routes_[path] = std::move(r);
    }

    std::vector<std::string> requests()
    {
        std::lock_guard guard(lock_);
        return requests_;
    }

    // Ends every connection a silent route holds open.
    void drop_connections()
    {
        std::lock_guard guard(lock_);
        for (SOCKET s : open_)
            shutdown(s, SD_BOTH);
    }

private:
    void accept_loop()
    {
        for (;;) {
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                if (stopping_)
                    return;
                continue;
            }
            std::lock_guard guard(lock_);
            open_.push_back(client);
            workers_.emplace_back([this, client] { serve(client); });
        }
    }

    void serve(SOCKET client)
    {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int got = recv(client, buffer, sizeof(buffer), 0);
            if (got <= 0)
                return finish(client);
            request.append(buffer, static_cast<std::size_t>(got));
        }
        const std::size_t first_space = request.find(' ');
        const std::size_t second_space = request.find(' ', first_space + 1);
        const std::string target = request.substr(first_space + 1, second_space - first_space - 1);
        route r;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(target);
            const std::string path = target.substr(0, target.find('?'));
            auto it = routes_.find(path);
            if (it == routes_.end())
                r = route{route::answer, 404, "not here", 0};
            else
                r = it->second;
        }
        if (r.mode == route::silent) {
            // Holds the connection until the server ends or drops it.
            while (recv(client, buffer, sizeof(buffer), 0) > 0) {
            }
            return finish(client);
        }
        std::string head = "HTTP/1.1 " + std::to_string(r.status) + " Status\r\nContent-Length: " +
                           std::to_string(r.body.size()) + "\r\nConnection: close\r\n\r\n";
        send_all(client, head.data(), head.size());
        const std::size_t count = r.mode == route::cut ? std::min(r.cut_after, r.body.size()) : r.body.size();
        send_all(client, r.body.data(), count);
        shutdown(client, SD_SEND);
        finish(client);
    }

    static void send_all(SOCKET s, const char* data, std::size_t size)
    {
        while (size > 0) {
            const int sent = send(s, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
            if (sent <= 0)
                return;
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
    }

    void finish(SOCKET client)
    {
        std::lock_guard guard(lock_);
        auto it = std::find(open_.begin(), open_.end(), client);
        if (it != open_.end()) {
            open_.erase(it);
            closesocket(client);
        }
    }

    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::map<std::string, route> routes_;
    std::vector<std::string> requests_;
    std::vector<SOCKET> open_;
    std::vector<std::thread> workers_;
};

} // namespace http_test
