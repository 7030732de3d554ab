// The whole library in one include.
#pragma once

#include "flash/flash_info.h"
#include "flash/flash_ops.h"
#include "link/connection_table.h"
#include "link/link_health.h"
#include "link/timed_datagrams.h"
#include "link/udp_endpoint.h"
#include "platform/platform.h"
#include "protocol/bus_access.h"
#include "protocol/channel_commands.h"
#include "protocol/packet.h"
#include "protocol/query_block_bulk.h"
#include "protocol/register_space.h"
#include "protocol/streams.h"
#include "recovery/progress.h"
#include "recovery/recovery.h"
