#pragma once

// The agent's plan value types as far as the catalog stores them.

namespace RPX::Info::Plan {

enum class Type : int { Undefined = 0, Backup = 1, Restore = 2, Purge = 3 };

// The kind of data a plan backs up; the catalog stores only the number.
enum class SubType : int { FileLevel = 0, ImageBased = 1, Generation = 2 };

// The outcome of one plan run. Numbers the catalog does not know are kept as they are.
class PlanResult
{
public:
    enum Value : int { Success = 0, Warning = 1, Running = 2, Failed = 3, Interrupted = 4 };

    PlanResult(Value value = Running) : m_value(int(value)) {}
    PlanResult(int value) : m_value(value) {}

    int value() const { return m_value; }
    bool operator==(const PlanResult& other) const { return m_value == other.m_value; }
    bool operator!=(const PlanResult& other) const { return m_value != other.m_value; }

private:
    int m_value;
};

}  // namespace RPX::Info::Plan
