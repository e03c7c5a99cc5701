#include "engine/remote/RemoteWork.h"

#include <algorithm>

#include "engine/remote/RemoteAgentThread.h"

RemoteWorkChoice ChooseRemoteWork(const RemoteWorkState& state)
{
    RemoteWorkChoice choice;
    choice.cursor = state.cursor;
    if (state.relocations != 0)
        choice.work = RemoteWork::kRelocate;
    else if (state.removals != 0)
        choice.work = RemoteWork::kRemove;
    else if (state.contacts != 0)
        choice.work = RemoteWork::kContact;
    else if (state.pollsAfterAdd != 0)
        choice.work = RemoteWork::kPollAfterAdd;
    if (choice.work != RemoteWork::kNone || state.roundsHeld || state.retryDueMs.empty())
        return choice;
    const size_t agents = state.retryDueMs.size();
    choice.agent = state.cursor >= agents ? 0 : state.cursor;
    choice.cursor = choice.agent + 1;
    choice.roundDone = choice.cursor >= agents;
    const int64_t due = state.retryDueMs[choice.agent];
    choice.work = due >= 0 && due <= state.nowMs ? RemoteWork::kRetryContact : RemoteWork::kPoll;
    return choice;
}

int RoundWaitMs(bool queued, int pollIntervalMs, int idleWaitMs, int64_t nextRetryMs, int64_t nowMs)
{
    int wait = queued ? CRemoteAgentThread::kSignalTimeoutMs : pollIntervalMs > 0 ? pollIntervalMs : idleWaitMs;
    if (nextRetryMs >= 0) {
        const int64_t until = nextRetryMs - nowMs;
        wait = static_cast<int>(
            std::max<int64_t>(CRemoteAgentThread::kSignalTimeoutMs, std::min<int64_t>(wait, until)));
    }
    return wait;
}
