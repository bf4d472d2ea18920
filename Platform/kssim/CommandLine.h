// A command line read against a table of options: each value is taken whole
// and checked against its option's range, so that a typing error is a usage
// error naming the option, never a value the program guesses at.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kp::cli {

struct Option {
    enum class Kind { Switch, Text, Number, Integer };
    const char* Name;     // "--seconds"
    Kind Type;            // a switch takes no value
    const char* Value;    // the value's name in the help ("S"); nullptr for a switch
    double Min, Max;      // a number's range, both included
    const char* Default;  // as the help shows it
    const char* Help;     // what it does
    // The group (a scenario) whose option it is; nullptr: every group's.  A
    // name may have one row per group, each with its own range.
    const char* Group;
    // Takes the value: the text, and for numbers the parsed value.
    std::function<void(const char* text, double number)> Set;
};

// One option of the command line, with its value (nullptr for a switch).
struct Given {
    std::string Name;
    const char* Text;
};

// Matches each argument to an option name of the table, with the value that
// follows it.  False, with the message in *error, for an unknown argument or
// a missing value.
bool Match(const std::vector<Option>& table, int argc, char** argv, std::vector<Given>* given,
           std::string* error);
// Checks and takes each given option, in order, with the table's row of its
// name for Group: an option of another group, a value not read whole (or not
// finite) and one out of its range are errors.
bool Apply(const std::vector<Option>& table, const std::vector<Given>& given, const char* group,
           std::string* error);
// One line per row: name, value, range, default, help, group.
void PrintOptions(std::FILE* out, const std::vector<Option>& table);

}  // namespace kp::cli
