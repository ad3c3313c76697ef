// TCP/IPv4 transport to one gateway device: one request at a time.
#ifndef ZODARURUVIZI_COMMS_GATEWAYCOMMS_H
#define ZODARURUVIZI_COMMS_GATEWAYCOMMS_H

#include "platform/export.h"
#include "platform/winapi.h"

class CSubStream;

// Moves bytes: sends the request a CSubStream holds and collects reply bytes
// until the sub-stream says the reply is complete. It never interprets them.
//
// Winsock must be started (WSAStartup) for the transport's whole life. Every
// failure is reported by a false result; nothing is thrown or logged. Not
// copyable; no lock: one thread at a time.
class ZODARURUVIZI_API CGatewayComms {
public:
    static const int kReceiveBufferSize = 20008;
    static const int kConnectionWaits = 5;

    explicit CGatewayComms(unsigned short port);  // port in host byte order
    // Frees the receive buffer, then closes as CloseSocket does.
    virtual ~CGatewayComms();
    CGatewayComms(const CGatewayComms&) = delete;
    CGatewayComms& operator=(const CGatewayComms&) = delete;

    // The device's IPv4 address in network byte order (as inet_addr gives it).
    // Takes effect at the next OpenSocket.
    void SetIPAddress(unsigned long address);
    unsigned long GetIPAddress();
    // True while a socket is held, connected or not.
    bool IsSocketOpen();
    // Creates a socket and connects, waiting up to five times one second. On
    // failure the socket stays held (IsSocketOpen true) until CloseSocket.
    bool OpenSocket();
    // Closes the event object and the socket, if a socket is held.
    void CloseSocket();
    // Sends the request held in the stream and waits for its reply; the timeout
    // applies to each wait for more data, converted to DWORD (-1: no limit). True when a complete
    // reply arrived without a failure. A reply that fills the whole receive buffer without
    // completing fails the exchange.
    bool ExecuteSubCommand(CSubStream& stream, int timeoutMs);

protected:
    bool SendRequest(CSubStream& stream);
    bool WaitForReply(CSubStream& stream, int timeoutMs);
    bool HandleReceiveCommsEvent(CSubStream& stream, char* buffer, int& received, bool& bFailed);

private:
    friend class CGatewayCommsTestAccess;  // unit tests reach the event and buffer

    unsigned long m_IPAddress;
    unsigned short m_Port;
    char* m_pReceiveBuffer;
    SOCKET m_Socket;
    WSAEVENT m_Event;
};

#endif
