#pragma once
// The VM's state as shown to the user: stopped, booting, running, or error with a description.

#include <QMetaType>
#include <QString>

namespace quorvale::guest {

struct VMStatus {
    Q_GADGET
    Q_PROPERTY(State state MEMBER state)
    Q_PROPERTY(QString description MEMBER description)

public:
    enum class State { stopped, booting, running, error };
    Q_ENUM(State)

    State state = State::stopped;
    QString description;  // only for State::error

    static VMStatus stopped() { return {State::stopped, {}}; }
    static VMStatus booting() { return {State::booting, {}}; }
    static VMStatus running() { return {State::running, {}}; }
    static VMStatus error(QString description) { return {State::error, std::move(description)}; }

    bool isError() const { return state == State::error; }
    // "stopped", "booting", "running" or "error: <description>" (logs and diagnostics).
    QString text() const;
    friend bool operator==(const VMStatus&, const VMStatus&) = default;
};

}  // namespace quorvale::guest

Q_DECLARE_METATYPE(quorvale::guest::VMStatus)
