// The simulated scanner's TCP data service: one ScannerModel (or any other
// WireDevice, such as a trace being replayed) behind a listening socket, one
// connection served at a time on a background thread.
//
//   orvela_sim::TcpScannerServer server;              // 127.0.0.1, ephemeral port
//   server.model().set_script(script);
//   if (!server.start()) ...;                          // binds, listens, starts the thread
//   connect to 127.0.0.1:server.port() ...
//   server.model().commands() ...                      // what the host sent
//   server.stop();                                     // or let the destructor do it
//
// The server honours the model's delays, stalls and dropped connections. Every
// descriptor is close-on-exec; sends use MSG_NOSIGNAL.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "tools/scanner_sim/sim_device.h"

namespace orvela_sim {

struct ServerOptions {
    std::string address = "127.0.0.1";  // IPv4 address to listen on
    uint16_t port = 0;                  // 0: any free port (see port())
    bool reset_on_drop = false;         // a scripted drop sends RST instead of FIN
};

class TcpScannerServer {
public:
    // Serves `model`, or a model of its own when null.
    explicit TcpScannerServer(std::shared_ptr<ScannerModel> model = nullptr, ServerOptions options = {});
    explicit TcpScannerServer(ServerOptions options);
    // Serves another kind of device; model() is then not to be called.
    TcpScannerServer(std::shared_ptr<WireDevice> device, ServerOptions options);
    ~TcpScannerServer();  // stop()
    TcpScannerServer(const TcpScannerServer&) = delete;
    TcpScannerServer& operator=(const TcpScannerServer&) = delete;

    // Binds, listens and starts serving. False (with a reason in *error when
    // given) if the address cannot be bound or the server already runs.
    bool start(std::string* error = nullptr);

    // Closes the listening socket and any open connection and joins the thread.
    // Safe to call more than once.
    void stop();

    bool running() const { return running_.load(); }
    uint16_t port() const { return port_.load(); }  // the bound port once started
    int connections() const { return connections_.load(); }  // accepted so far
    int open_connections() const { return open_.load(); }     // 0 or 1

    ScannerModel& model() { return *model_; }
    std::shared_ptr<ScannerModel> shared_model() { return model_; }

private:
    void serve();
    bool serve_connection(int fd);  // false when the server is stopping

    std::shared_ptr<ScannerModel> model_;   // null when serving another device
    std::shared_ptr<WireDevice> device_;
    ServerOptions options_;
    std::thread thread_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;  // eventfd that interrupts the serving thread's poll
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<uint16_t> port_{0};
    std::atomic<int> connections_{0};
    std::atomic<int> open_{0};
};

}  // namespace orvela_sim
