// Whether the link has shown trouble since the program started. Answers
// carry no sequence number, so a late or duplicated one can be taken as the
// answer to a later read without any read failing; the programs then read
// again rather than trust a single pass.
#pragma once

// True once any of these has happened: a failed cell read or an unanswered
// exchange attempt (its answer may still come, late), a stale datagram
// discarded before a request, a failed receive, or a datagram from another
// address discarded. Once true, stays true.
bool vrn_link_troubled();

struct vrnFlashInfo;

// Identifies the flash chip into *info. Once the link has shown trouble, a
// misread code can name another chip or command set, so identification is
// repeated until two in a row agree (at most 3); a clean link identifies
// once. -1 when no two agreed.
int vrn_identify_agreed(int handle, vrnFlashInfo* info);
