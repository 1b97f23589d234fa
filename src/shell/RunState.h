#pragma once

// Which of the window's two long runs is active. The buttons, the hover rule, Clear List and the
// menus ask it rather than each keeping a flag of its own. The download run sets busyFlag()
// itself (it is the host's DownloadBusy), so a download counts as active from inside the run as
// well as from a start made here.
class RunState {
public:
    enum class Run { Idle, Listing, Downloading };

    Run current() const {
        if (m_listing)
            return Run::Listing;
        return m_busy ? Run::Downloading : Run::Idle;
    }
    bool idle() const { return current() == Run::Idle; }
    bool active() const { return !idle(); }

    // The one flag both runs test at their start; a start while it is set is ignored.
    bool& busyFlag() { return m_busy; }

    // Marks a listing run active for the life of the guard; a false guard means another run was.
    class Guard {
    public:
        explicit Guard(RunState& state) : m_state(state.idle() ? &state : nullptr) {
            if (m_state)
                m_state->m_listing = m_state->m_busy = true;
        }
        ~Guard() {
            if (m_state)
                m_state->m_listing = m_state->m_busy = false;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        explicit operator bool() const { return m_state != nullptr; }

    private:
        RunState* m_state;
    };

private:
    bool m_busy = false;
    bool m_listing = false;
};
