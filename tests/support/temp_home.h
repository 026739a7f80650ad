// Temporary directories of the tests: a fresh directory under the temp directory, removed with
// everything in it at the end, as a plain directory or as an installation's home.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class CTempHome
{
public:
    // A home holds TEMP/, as an installation has it; a plain directory is left empty.
    enum EKind
    {
        kHome,
        kPlainDirectory
    };
    explicit CTempHome(EKind eKind = kHome);
    ~CTempHome();
    CTempHome(const CTempHome&) = delete;
    CTempHome& operator=(const CTempHome&) = delete;

    const std::string& Path() const { return m_strPath; }
    // Path() + separator + strName.
    std::string Join(const std::string& strName) const;
    std::string Temp() const { return Join("TEMP"); }
    // The names of the files in TEMP/, sorted.
    std::vector<std::string> TempFiles() const;
    void WriteFile(const std::string& strName, const std::string& strContent) const;
    // Writes server.ini with a [INI_SERVER_SECTION] holding exactly these lines.
    void WriteSettings(const std::string& strLines) const;
    // Points KELSIO_HOME of this process (and of the processes it starts) here.
    void UseAsKelsioHome() const;

private:
    std::string m_strPath;
};

// A fresh plain directory per test.
class CTempDirTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override { m_pDir.reset(); }
    std::string Path(const std::string& strName) const { return m_pDir->Join(strName); }

    std::unique_ptr<CTempHome> m_pDir;
    std::string m_strDir;
};
