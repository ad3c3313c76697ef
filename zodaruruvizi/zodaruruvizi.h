// Everything a host of the zodaruruvizi module uses: the exported classes, the
// framework types they are written with, the host-component stand-ins they
// build on, the log sinks and the worker wait.
#ifndef ZODARURUVIZI_ZODARURUVIZI_H
#define ZODARURUVIZI_ZODARURUVIZI_H

#include "platform/export.h"
#include "platform/winapi.h"
#include "platform/afx.h"

#include "hostapi/substream.h"
#include "hostapi/environment.h"
#include "hostapi/widgets.h"

#include "zodaruruvizi/checks/codetypes.h"
#include "zodaruruvizi/checks/codediffresults.h"
#include "zodaruruvizi/comms/basecomms.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/checks/gatewaychecks.h"
#include "zodaruruvizi/dialogs/tabdialog.h"

#endif
