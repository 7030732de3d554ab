// Whether the link has shown trouble since the program started. Answers
// carry no sequence number, so a late or duplicated one can be taken as the
// answer to a later read without any read failing; the programs then read
// again rather than trust a single pass.
#pragma once

// True once any of these has happened: a failed cell read or an unanswered
// exchange attempt (its answer may still come, late), a stale datagram
// discarded before a request, or a failed receive. Once true, stays true.
bool vrn_link_troubled();
