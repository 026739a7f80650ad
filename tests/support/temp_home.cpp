#include "temp_home.h"

#include "test_env.h"
#include "test_files.h"

#include <atomic>
#include <chrono>
#include <filesystem>

namespace fs = std::filesystem;

// The name is kept short: pipe tests put socket paths, whose length is bounded, inside it.
CTempHome::CTempHome(EKind eKind)
{
    static std::atomic<unsigned> s_nCounter(0);
    auto nNow = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path dir = fs::temp_directory_path() /
                   ("vt-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(nNow % 1000000007) + "-" + std::to_string(++s_nCounter));
    fs::remove_all(dir);
    fs::create_directories(eKind == kHome ? dir / "TEMP" : dir);
    m_strPath = dir.string();
}

CTempHome::~CTempHome()
{
    std::error_code error;
    fs::remove_all(m_strPath, error);
}

std::string CTempHome::Join(const std::string& strName) const
{
    return m_strPath + VENDREL_DIR_SEP_STR + strName;
}

std::vector<std::string> CTempHome::TempFiles() const
{
    return ListNames(Temp());
}

void CTempHome::WriteFile(const std::string& strName, const std::string& strContent) const
{
    WriteWholeFile(Join(strName), strContent);
}

void CTempHome::WriteSettings(const std::string& strLines) const
{
    WriteFile("server.ini", "[INI_SERVER_SECTION]\n" + strLines);
}

void CTempHome::UseAsKelsioHome() const
{
    SetEnvVar("KELSIO_HOME", m_strPath.c_str());
}

void CTempDirTest::SetUp()
{
    m_pDir = std::make_unique<CTempHome>(CTempHome::kPlainDirectory);
    m_strDir = m_pDir->Path();
}
