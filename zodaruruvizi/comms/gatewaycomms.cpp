#include "zodaruruvizi/comms/gatewaycomms.h"

#include <string.h>

#include "hostapi/substream.h"

CGatewayComms::CGatewayComms(unsigned short port)
    : m_IPAddress(0),
      m_Port(port),
      m_pReceiveBuffer(nullptr),
      m_Socket(INVALID_SOCKET),
      m_Event(WSA_INVALID_EVENT) {}

CGatewayComms::~CGatewayComms() {
    delete[] m_pReceiveBuffer;
    m_pReceiveBuffer = nullptr;
    CloseSocket();
}

void CGatewayComms::SetIPAddress(unsigned long address) {
    m_IPAddress = address;
}

unsigned long CGatewayComms::GetIPAddress() {
    return m_IPAddress;
}

bool CGatewayComms::IsSocketOpen() {
    return m_Socket != INVALID_SOCKET;
}

bool CGatewayComms::OpenSocket() {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(m_Port);
    address.sin_addr.s_addr = static_cast<uint32_t>(m_IPAddress);

    m_Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_Socket == INVALID_SOCKET)
        return false;

    u_long nonBlocking = 1;
    ioctlsocket(m_Socket, FIONBIO, &nonBlocking);
    connect(m_Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);

    bool bConnected = false;
    for (int wait = 0; wait < kConnectionWaits && !bConnected; ++wait) {
        fd_set writeSet;
        FD_ZERO(&writeSet);
        FD_SET(m_Socket, &writeSet);
        TIMEVAL oneSecond = {1, 0};  // MinGW declares select without const
        bConnected = select(0, nullptr, &writeSet, nullptr, &oneSecond) == 1;
    }

    if (bConnected) {
        int receiveBufferSize = kReceiveBufferSize;
        setsockopt(m_Socket, SOL_SOCKET, SO_RCVBUF,
                   reinterpret_cast<const char*>(&receiveBufferSize), sizeof receiveBufferSize);
        m_Event = WSACreateEvent();
        WSAEventSelect(m_Socket, m_Event, FD_READ);
    }
    return bConnected;
}

void CGatewayComms::CloseSocket() {
    if (m_Socket == INVALID_SOCKET)
        return;
    if (m_Event != WSA_INVALID_EVENT) {
        WSACloseEvent(m_Event);
        m_Event = WSA_INVALID_EVENT;
    }
    shutdown(m_Socket, SD_BOTH);
    closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

bool CGatewayComms::ExecuteSubCommand(CSubStream& stream, int timeoutMs) {
    SetThreadExecutionState(ES_SYSTEM_REQUIRED);
    if (!SendRequest(stream))
        return false;
    return WaitForReply(stream, timeoutMs);
}

bool CGatewayComms::SendRequest(CSubStream& stream) {
    if (m_Socket == INVALID_SOCKET)
        return false;
    return send(m_Socket, stream.GetRequestBytes(), stream.GetRequestLength(), 0) != SOCKET_ERROR;
}

bool CGatewayComms::WaitForReply(CSubStream& stream, int timeoutMs) {
    int received = 0;
    bool bFailed = false;
    if (!m_pReceiveBuffer)
        m_pReceiveBuffer = new char[kReceiveBufferSize];
    // The sub-stream may look past the bytes of this exchange: nothing from an
    // earlier reply is left there.
    memset(m_pReceiveBuffer, 0, kReceiveBufferSize);

    // As a DWORD: -1 is WSA_INFINITE, other negative values very long waits.
    const DWORD timeout = static_cast<DWORD>(timeoutMs);
    bool bKeepWaiting = true;
    while (!bFailed && bKeepWaiting) {
        DWORD result = WSAWaitForMultipleEvents(1, &m_Event, FALSE, timeout, FALSE);
        if (result == WSA_WAIT_EVENT_0) {
            bKeepWaiting = HandleReceiveCommsEvent(stream, m_pReceiveBuffer, received, bFailed);
        } else {
            bFailed = true;
        }
    }
    return !bFailed;
}

bool CGatewayComms::HandleReceiveCommsEvent(CSubStream& stream, char* buffer, int& received,
                                            bool& bFailed) {
    bool bKeepWaiting = true;
    bFailed = false;
    WSAResetEvent(m_Event);

    int count = recv(m_Socket, buffer + received, kReceiveBufferSize - received, 0);
    if (count == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEWOULDBLOCK)
            return true;
        bFailed = true;
    } else {
        received += count;
    }

    switch (stream.ExtractReply(buffer, received)) {
        case EXTRACT_COMPLETE:
            bKeepWaiting = false;
            break;
        case EXTRACT_FAILED:
            bFailed = true;
            bKeepWaiting = false;
            break;
        case EXTRACT_UNWANTED:
            received = 0;
            break;
        case EXTRACT_NEED_MORE:
        default:
            bKeepWaiting = true;
            // A full buffer without a complete reply can never complete.
            if (received >= kReceiveBufferSize) {
                bFailed = true;
                bKeepWaiting = false;
            }
            break;
    }
    return bKeepWaiting;
}
