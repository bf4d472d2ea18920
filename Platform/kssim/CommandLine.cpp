#include "CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kp::cli {
namespace {

const Option* Find(const std::vector<Option>& table, const std::string& name, const char* group,
                   bool anyGroup) {
    for (const Option& o : table) {
        if (name != o.Name) continue;
        if (anyGroup || o.Group == nullptr || (group != nullptr && std::string(group) == o.Group))
            return &o;
    }
    return nullptr;
}

// The whole text as a number of the option's kind: no leading space, no
// trailing characters, no overflow, finite.
bool ParseNumber(const Option& o, const char* text, double* value) {
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    if (o.Type == Option::Kind::Integer)
        *value = static_cast<double>(std::strtoll(text, &end, 10));
    else
        *value = std::strtod(text, &end);
    return errno == 0 && *end == '\0' && std::isfinite(*value);
}

std::string Figure(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The range of an option for messages ("a whole number from 1 to 64").
std::string RangeText(const Option& o) {
    switch (o.Type) {
        case Option::Kind::Number:
            return "a number from " + Figure(o.Min) + " to " + Figure(o.Max);
        case Option::Kind::Integer:
            return "a whole number from " + Figure(o.Min) + " to " + Figure(o.Max);
        case Option::Kind::Text:
            return "a text that is not empty";
        case Option::Kind::Switch:
            break;
    }
    return "no value";
}

}  // namespace

bool Match(const std::vector<Option>& table, int argc, char** argv, std::vector<Given>* given,
           std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const Option* o = Find(table, argv[i], nullptr, true);
        if (o == nullptr) {
            *error = std::string("unknown option ") + argv[i];
            return false;
        }
        const char* text = nullptr;
        if (o->Type != Option::Kind::Switch) {
            if (i + 1 >= argc) {
                *error = std::string(o->Name) + " needs a value (" + o->Value + ")";
                return false;
            }
            text = argv[++i];
        }
        given->push_back({o->Name, text});
    }
    return true;
}

bool Apply(const std::vector<Option>& table, const std::vector<Given>& given, const char* group,
           std::string* error) {
    for (const Given& g : given) {
        const Option* o = Find(table, g.Name, group, false);
        if (o == nullptr) {
            const Option* other = Find(table, g.Name, nullptr, true);
            *error = g.Name + " is an option of the " + other->Group + " scenario, not of " +
                     (group != nullptr ? group : "this one");
            return false;
        }
        double number = 0;
        bool ok = true;
        if (o->Type == Option::Kind::Text)
            ok = *g.Text != '\0';
        else if (o->Type != Option::Kind::Switch)
            ok = ParseNumber(*o, g.Text, &number) && number >= o->Min && number <= o->Max;
        if (!ok) {
            *error = g.Name + " " + g.Text + ": must be " + RangeText(*o);
            return false;
        }
        o->Set(g.Text, number);
    }
    return true;
}

void PrintOptions(std::FILE* out, const std::vector<Option>& table) {
    for (const Option& o : table) {
        std::string head = o.Name;
        if (o.Value != nullptr) head += std::string(" ") + o.Value;
        std::string limits;
        if (o.Type == Option::Kind::Number || o.Type == Option::Kind::Integer)
            limits = Figure(o.Min) + " to " + Figure(o.Max) + "; ";
        limits += std::string("default ") + o.Default;
        if (o.Group != nullptr) limits += std::string("; ") + o.Group + " only";
        std::fprintf(out, "  %-20s %s\n  %-20s (%s)\n", head.c_str(), o.Help, "", limits.c_str());
    }
}

}  // namespace kp::cli
