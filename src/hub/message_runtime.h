#pragma once
// The hub's message runtime in one include: message blocks, timers, agents, events, tasks and
// concurrent containers.

#include "hub/concurrent_containers.h"
#include "hub/message_blocks.h"
#include "hub/message_timer.h"
#include "hub/runtime_agent.h"
#include "hub/runtime_event.h"
#include "hub/runtime_task.h"
