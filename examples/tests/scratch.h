// Writes test files into the run's temporary HOME folder, so that nothing
// outside it is ever touched.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

inline std::string scratchPath(const std::string& name)
{
    return std::string(std::getenv("HOME")) + "/" + name;
}

inline std::string writeScratchFile(const std::string& name, const std::string& bytes)
{
    const std::string path = scratchPath(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
}
