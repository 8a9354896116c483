#pragma once

// The agent's kinds of file operation, as the operation history records and searches them.

namespace RPX::Info::History {

class OperationType
{
public:
    enum Value : int {
        Any = -1,  // search only: every kind
        Backup = 0,
        Restore = 1,
        Purge = 2,
        Delete = 3,
        Failed = 100,  // search only: operations of every kind that ended with an error message
    };

    OperationType(Value value = Any) : m_value(int(value)) {}
    OperationType(int value) : m_value(value) {}

    int value() const { return m_value; }
    bool operator==(const OperationType& other) const { return m_value == other.m_value; }
    bool operator!=(const OperationType& other) const { return m_value != other.m_value; }

private:
    int m_value;
};

}  // namespace RPX::Info::History
