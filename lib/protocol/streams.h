// Stream transfers on started channels and the notification event waits.
#pragma once

#include <cstdint>

int vrn_stream_read(int handle, int channel, void* buffer, int length, int timeout_ms);
int vrn_stream_write(int handle, int channel, const void* data, int length, int timeout_ms);
int vrn_event_wait_next(int handle, std::int32_t* value, int timeout_ms);
int vrn_event_wait(int handle, std::int32_t* value, int timeout_ms);
int vrn_event_clear(int handle, std::int32_t* value);
