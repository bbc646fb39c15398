// Test helper: one scenario file of tests/scenarios, read into its settings
// and its steps. The format is described in tests/scenarios/README.md; this
// reader only splits lines into words and keeps where each came from, the
// runner gives the words their meaning.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace scenario_test {

struct ScenarioStep {
    int line = 0;
    std::vector<std::string> words;
    const std::string& word(size_t i) const
    {
        static const std::string none;
        return i < words.size() ? words[i] : none;
    }
};

struct ScenarioScript {
    std::string path;
    std::vector<ScenarioStep> steps;

    // False when the file cannot be read.
    bool load(const std::string& file)
    {
        path = file;
        std::ifstream in(file);
        if (!in)
            return false;
        std::string text;
        for (int number = 1; std::getline(in, text); ++number) {
            size_t hash = text.find('#');
            if (hash != std::string::npos)
                text.erase(hash);
            ScenarioStep step;
            step.line = number;
            std::istringstream words(text);
            for (std::string word; words >> word;)
                step.words.push_back(word);
            if (!step.words.empty())
                steps.push_back(step);
        }
        return true;
    }
};

// "1-5,7,9-10" as a list of numbers.
inline std::vector<uint32_t> number_list(const std::string& text)
{
    std::vector<uint32_t> out;
    std::istringstream parts(text);
    for (std::string part; std::getline(parts, part, ',');) {
        size_t dash = part.find('-');
        uint32_t first = uint32_t(std::stoul(part.substr(0, dash)));
        uint32_t last =
            dash == std::string::npos ? first : uint32_t(std::stoul(part.substr(dash + 1)));
        for (uint32_t no = first; no <= last; ++no)
            out.push_back(no);
    }
    return out;
}

inline std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> out;
    std::istringstream parts(text);
    for (std::string part; std::getline(parts, part, separator);)
        out.push_back(part);
    return out;
}

}  // namespace scenario_test
