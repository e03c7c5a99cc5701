// Where the engine program finds its configured address before the server exists.

#include "programs/vgnsa/VigilonEngine.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TestSupport.h"
#include "tests/core/ServerTestSupport.h"
#include "engine/core/server/ServerEx.h"

TEST(EngineAddressReader, IniKeyOrCheckedSettingsRecord)
{
    vgtest::TempDir dir;
    const std::string ini = dir.Path() + "/vgconfig.ini";
    const std::string user = dir.Path() + "/vgusrext.dat";
    EXPECT_EQ(ReadConfiguredEngineAddress(user, ini), ""); // neither file

    {
        std::ofstream out(ini);
        out << "[VG_Engine]\nEngineIPAddress=127.0.0.2\nengineipaddress=127.0.0.3\nEngineIPAddress=not.an.address\n"
               "[Other]\nEngineIPAddress=127.0.0.4\n";
    }
    EXPECT_EQ(ReadConfiguredEngineAddress(user, ini), "127.0.0.3"); // the last valid key of the section

    // Once the user extension file exists, only its settings record counts: the address the record
    // took from the INI file, and only when it matched the host's address when the record was made.
    struct Case {
        const char* iniAddress;
        const char* reads;
    } cases[] = {{"127.0.0.9", "127.0.0.9"}, {"127.0.0.8", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.iniAddress);
        servertest::TestInstall install;
        servertest::CallLog calls;
        {
            std::ofstream out(install.Path("vgconfig.ini"));
            out << "[VG_Engine]\nEngineIPAddress=" << c.iniAddress << "\n";
        }
        CServer* server = CreateServerInstance(install.Options(calls, 0x0900007Fu)); // the host: 127.0.0.9
        ASSERT_TRUE(server->Start(0, 0, 3665, "wendolmar"));
        const std::string saved = server->GetFilePaths().user;
        CServer::DeleteInstance();
        EXPECT_EQ(ReadConfiguredEngineAddress(saved, ini), c.reads);
    }
}
