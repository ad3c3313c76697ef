// Types of the host's comms base component that this module exports.
#ifndef ZODARURUVIZI_COMMS_BASECOMMS_H
#define ZODARURUVIZI_COMMS_BASECOMMS_H

#include "platform/afx.h"
#include "platform/export.h"

// The comms exception: a CException with a cause code. Nothing in this module
// throws it.
class ZODARURUVIZI_API CBaseCommsException : public CException {
public:
    explicit CBaseCommsException(int cause);
    ~CBaseCommsException() override;

    int m_nCause;
};

// Listener interface of the comms base component; nothing in this module
// implements or calls it.
class ZODARURUVIZI_API IBaseCommsEventListener {
public:
    IBaseCommsEventListener();
    IBaseCommsEventListener(const IBaseCommsEventListener& other);
    virtual ~IBaseCommsEventListener();
    virtual void OnCommsConnected() = 0;
    virtual void OnCommsDisconnected() = 0;
    virtual void OnCommsDataReceived(const char* data, int length) = 0;
};

#endif
