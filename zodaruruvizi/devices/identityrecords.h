// The identity record file: one line per device read, six comma-separated
// fields (serial number, LC, PROM and bootstrap releases, network and USB MAC
// addresses).
#ifndef ZODARURUVIZI_DEVICES_IDENTITYRECORDS_H
#define ZODARURUVIZI_DEVICES_IDENTITYRECORDS_H

#include <string>
#include <string_view>

#include "platform/afx.h"

// The record line for six field values, without its line end. Line breaks
// (CR, LF) and zero bytes in a device's text are written as spaces, so that no
// device can add a line of its own; commas stay as they are.
std::string MakeIdentityRecord(const std::string_view (&fields)[6]);

// The file's new content for the stored bytes: every line trimmed of white
// space, empty lines and lines whose fields all read "Unknown" (in any letter
// case) dropped, every line that contains the serial number anywhere (a
// case-sensitive search; a serial number that is part of another device's line
// replaces that line too) replaced by the record, or the record appended when
// none does. Lines end in lineEnd. An empty record leaves the lines holding
// the serial number as they are and adds nothing. *pDropped counts the lines
// dropped for being all "Unknown".
std::string RewriteIdentityRecords(std::string_view stored, std::string_view serial,
                                   std::string_view record, std::string_view lineEnd,
                                   int* pDropped);
// The same into out, whose memory is reused.
void RewriteIdentityRecordsInto(std::string_view stored, std::string_view serial,
                                std::string_view record, std::string_view lineEnd, int* pDropped,
                                std::string& out);

// Rewrites the file at path with RewriteIdentityRecords and sends
// dropMessage to "RT_COMMS_E" once for every line dropped. A crash leaves the
// old file or the new one, whole: the new content goes to path + ".tmp",
// reaches the disk, and then replaces the file in one step. The temporary file
// also gives writers their turn: a writer that finds it held by another waits
// up to kIdentityRecordWaitMs. When the new content equals the old, nothing is
// written. Throws CFileException* when the file cannot be read or replaced;
// the record file is then as it was and no temporary file is left.
// May be called from any thread and from several processes at once.
void StoreIdentityRecord(const CString& path, std::string_view serial, std::string_view record,
                         const char* dropMessage);

// How long a writer waits for its turn, and for a record file held by another
// program to become replaceable.
constexpr DWORD kIdentityRecordWaitMs = 5000;

#endif  // ZODARURUVIZI_DEVICES_IDENTITYRECORDS_H
