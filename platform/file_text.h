// Internal to the platform layer: how text files end their lines on this
// system, given by file_<system>.cpp and used by the portable CStdioFile.
#ifndef ZODARURUVIZI_PLATFORM_FILE_TEXT_H
#define ZODARURUVIZI_PLATFORM_FILE_TEXT_H

// True where a text file stores "\n" as CR LF.
extern const bool kTextLineEndIsCrLf;

#endif
