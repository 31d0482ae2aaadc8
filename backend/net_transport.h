// Network transport: the TCP half of the byte pipe to a scanner (one
// connection, opened with a bounded non-blocking connect; reads and writes
// that poll until they have moved the requested bytes or their time-out has
// passed) and a small UDP datagram pipe over the same socket handle.
//
//   TCP_Connect -> TCP_Write / TCP_Read ... -> TCP_Close
//   UDP_Setup   -> UDP_Write / UDP_Read ... -> UDP_Close
//
// There is one socket for the whole process: the TCP and the UDP routines share
// it, a connect or set-up while it is open reuses it whatever address is asked,
// and the caller closes before it talks to another device or port. Addresses
// are dotted IPv4 text; time-outs are whole seconds. Sends never raise SIGPIPE
// and the socket is close-on-exec.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "backend/owned_socket.h"

extern "C" {

// True when the connection is usable. A socket that is already open is reused
// unchanged (the call then succeeds without connecting anew).
bool TCP_Connect(const char* address, int port, int timeoutSeconds);
// Returns `size` once all bytes arrived (also when the time-out passed in the
// same pass, and for a time-out of 0 when they were already there); 0 when they
// did not all arrive in time, with no buffer or with no connection; fewer bytes
// only when the peer closed or reset the connection first.
size_t TCP_Read(void* buffer, size_t size, int timeoutSeconds);
// Returns the bytes sent, fewer than `size` when the peer stopped accepting
// data until the time-out or the connection failed.
size_t TCP_Write(const void* data, size_t size, int timeoutSeconds);
void TCP_Close(void);

// Unicast when `address` is a plain IPv4 address; "255.255.255.255" (or text
// that does not parse) binds to any local address and enables broadcast.
bool UDP_Setup(const char* address, int port);
// One datagram of at most `size` bytes; 0 on failure or time-out. A time-out of
// 0 (or less) only takes a datagram that is already waiting.
size_t UDP_Read(void* buffer, size_t size, int timeoutSeconds);
// One datagram to the address given to UDP_Setup; 0 on failure.
size_t UDP_Write(const void* data, size_t size, int timeoutSeconds);
void UDP_Close(void);

}  // extern "C"

// Process-wide state, private to the library (visible for tests).
namespace orvela_net {

extern Socket transport_socket;   // the one socket of the transport
extern const int& mSocket;        // its descriptor, -1 while closed
extern sockaddr_in revaddress;    // destination of UDP_Write
extern sockaddr_in bindaddress;   // local address of a broadcast socket

// Size the receive buffer of a TCP connection is set to.
constexpr int kReceiveBufferSize = 65536;
// Longest single wait for data or for room to send; the loops wake at once
// when the socket becomes ready.
constexpr int kPollSliceMs = 20;

// How a read of read_until ended.
enum class ReadEnd { Complete, Closed, TimedOut, Cancelled };

// Reads until `size` bytes arrived, the peer closed or reset the connection,
// limit_ms passed, or *cancel (when not null) was seen set between two waits
// of at most kPollSliceMs. *received is the number of bytes that arrived, kept
// in the buffer whatever the end. TCP_Read is this without a cancel flag.
ReadEnd read_until(void* buffer, size_t size, int64_t limit_ms, const bool* cancel, size_t* received);

}  // namespace orvela_net
