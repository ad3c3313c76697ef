#include "zodaruruvizi/comms/basecomms.h"

CBaseCommsException::CBaseCommsException(int cause) : m_nCause(cause) {}
CBaseCommsException::~CBaseCommsException() = default;

IBaseCommsEventListener::IBaseCommsEventListener() = default;
IBaseCommsEventListener::IBaseCommsEventListener(const IBaseCommsEventListener&) = default;
IBaseCommsEventListener::~IBaseCommsEventListener() = default;
