// Every message of the library's string table, word for word, including its odd spacing and
// trailing blanks: other programs and people match these texts.
#include <gtest/gtest.h>

#include "foundation/Messages.h"

namespace
{
struct SExpectedMessage
{
    UINT id;
    const wchar_t* text;
};

const SExpectedMessage kMessages[] = {
    {100, L"NimboGuestAgentCtrl"},
    {101, L"Cannot connect to the host's administrative share. Host:  [%1]. Account: [%2]."},
    {102, L"Cannot destroy existing LAN manager connections to the specified host.Host: [%1]."},
    {103, L"Invalid connection name: [%1]."},
    {104, L"Cannot start enumeration of the connected network resources."},
    {105, L"Cannot get information for one or more connected network resources."},
    {106, L"Cannot enumerate existing connections to the specified server. Server: [%1]."},
    {107, L"Cannot cancel connection to the network resource: [%1]."},
    {108, L"Cannot retrieve local path to the shared folder. Folder: [%1]."},
    {109, L"Cannot upload guest agent's files to the administrative share  [%1]."},
    {110, L"Connection to the target server was not established."},
    {111, L"Guest agent's package is unavailable. Package path: [%1]."},
    {112, L"Cannot register management service. Service name: [%1]."},
    {113, L"Cannot delete agent's files. Remote share path: [%1]."},
    {114, L"Cannot retrieve agent's state. Agent's host: [%1]."},
    {115, L"Connecting to a remote host. Host: [%1]. Specified account: [%2]."},
    {116, L"The network share [%1] was already mapped to a local device. "},
    {117, L"There are multiple connections to the target server opened under a security context that differs from the specified. These connections will be closed."},
    {118, L"Checking whether network connection [%1] should be cancelled. "},
    {119, L"The network connection [%1] was cancelled."},
    {120, L"Cancelling connection to the network resource [%1]."},
    {121, L"Installing agent."},
    {122, L"Cannot install agent."},
    {123, L"Cannot create an instance of the COM [%1] coclass ."},
    {124, L"RPC function call failed. Function name: [%1]. Target machine: [%2]."},
    {125, L"Cannot create a string binding handle. Protocol sequence: [%1]. Target machine: [%2]."},
    {126, L"Cannot create RPC binding handle by the string representation of a binding handle. Binding string: [%1]. "},
    {127, L"Collecting guest  metrics."},
    {128, L"Cannot collect guest metrics."},
    {129, L"Information about the guest's operation system was not collected."},
    {130, L"Cannot initialize information about the guest's system. Target host: [%1]."},
    {131, L"Cannot check whether installation on the target host is possible. Target computer name: [%1]."},
    {132, L"There is no information about the guest's operation system."},
    {133, L"There is no enough information to check whether the VSS support plugin can be installed."},
    {134, L"Cannot collect metrics about the guest's operation system."},
    {135, L"Reconnecting or installing the remote console agent."},
    {136, L"Cannot retrieve current configuration information for the target host."},
    {137, L"Cannot connect to the remote registry."},
    {138, L"Cannot open sessions manager's registry key."},
    {139, L"Cannot get the registry value [%1]."},
    {140, L"Collecting information about the guest's platform type."},
    {141, L"Guest OS platform: [%1]."},
    {142, L"Guest OS version: [%1.%2]"},
    {143, L"Target host is a server."},
    {144, L"Target host is a workstation."},
    {145, L"Guest OS: [%1]."},
    {146, L"Guest's platform is not supported. Platform: [%1]."},
    {147, L"Cannot upload the VSS package."},
    {148, L"Guest's OS is not supported. OS: [%]."},
    {149, L"Cannot reconnect or reinstall the remote console agent. Target computer: [%1]."},
    {150, L"Locking installation mutex."},
    {151, L"Cannot lock installation mutex."},
    {152, L"Checking whether agent already installed on the target host."},
    {153, L"Cannot check whether agent already installed on the target host."},
    {154, L"Installing agent instance. Target computer name: [%1]."},
    {155, L"Cannot install agent instance."},
    {156, L"Path to the remote console configuration file: [%1]."},
    {157, L"The remote console service is not installed on the remote host."},
    {158, L"Cannot create an agent's configuration file. Target folder: [%1]."},
    {159, L"Declared agent version: [%1]."},
    {160, L"Version of the already installed agent: [%1]."},
    {161, L"Checking whether already installed agent is compatible with the specified one."},
    {162, L"Cannot check whether already installed agent is compatible with the specified one."},
    {163, L"The installed agent package has newer version than the specified package and they are incompatible. Version of the installed package: [%1]. Version of the specified package: [%2]."},
    {164, L"The newer agent package should be installed on the remote host."},
    {165, L"Compatibility list for the installed agent:"},
    {166, L"The specified agent package is compatible with the installed agent."},
    {167, L"Initializing a rpc connection to the remote console."},
    {168, L"Remote agent uses a dynamic port for the RPC processing."},
    {169, L"Remote agent uses the static port for the RPC processing. Port number: [%1]."},
    {170, L"Cannot initialize a rpc connection to the remote console."},
    {171, L"Cannot notify the remote agent about the upgrade event. Remote host: [%1]."},
    {172, L"Notifying the remote agent about the upgrade event. Remote host: [%1]."},
    {173, L"All clients connected to the remote console were disconnected."},
    {174, L"Cannot create an event subscription for a remote console. The remote console already launched."},
    {175, L"Cannot start a remote console. Remote machine: [%1]. Optional command line arguments: [%2]."},
    {176, L"Starting a remote console. Target machine: [%1]. Optional command line arguments: [%2]."},
    {177, L"Remote console already started."},
    {178, L"Remote console is not installed on the remote machine or console connection is not established."},
    {179, L"Cannot stop the remote console. Target machine: [%1]."},
    {180, L"Stopping the remote console. Target machine: [%1]."},
    {181, L"Cannot deliver a control message to the remote console. Message: [%1]. Target machine: [%2]."},
    {182, L"Delivering a control message to the remote console. Target machine: [%1]. "},
    {183, L"[RC STDIN, machine - %1]"},
    {184, L"Uploading the agent package to the target machine."},
    {185, L"Cannot upload the agent package to the target machine."},
    {186, L"The agent package does not contain any files."},
    {187, L"File [%1] is installed. Target path: [%2]."},
    {188, L"Cannot create a configuration file for the remote console. Target folder: [%1]."},
    {189, L"Creating a configuration file for the remote console. Target folder: [%1]."},
    {190, L"Uploading console files."},
    {191, L"Cannot upload console files."},
    {192, L"Connection to a remote console was terminated. Target machine: [%1]."},
    {193, L"Notifying console events subscriber about the channel error. Remote machine: [%1]."},
    {194, L"Cannot notify console events subscriber about the channel error. Remote machine: [%1]."},
    {195, L"Channel between the application and the remote console has failed. Remote machine: [%1]."},
    {196, L"Polling thread for the remote console connection has started. Target machine: [%1]."},
    {197, L"Polling thread for the remote console connection has finished. Target machine: [%1]."},
    {198, L"Remote console has stopped."},
    {199, L"[RC STDOUT, machine - %1]"},
    {200, L"[RC STDERR, machine - %1]"},
    {201, L"Remote console reported that an error occured. Target machine: [%1]."},
    {202, L"Cannot create a RPC string binding for the specified machine. Machine: [%1]."},
    {203, L"Cannot convert string binding to a binding handle. String binding: [%1]."},
    {204, L"Cannot connect to a remote endpoint mapper. Target machine: [%1]."},
    {205, L"Cannot create an inquiry context for viewing elements in an endpoint map."},
    {206, L"Cannot get next element from the remote endpoint map."},
    {207, L"Found the next entry in the endpoint map having the specified interface ID. Annotation: [%1]."},
    {208, L"Port used by the specified service is found. Port number: [%1]."},
    {209, L"Cannot check whether the specified binding handle is a ncacn_ip_tcp binding handle."},
    {210, L"Cannot obtain a string representation of the binding handle."},
    {211, L"String representation of the suitable binding handle: [%1]"},
    {212, L"Cannot resolve the specified service name to the RPC binding handle published by the service. Service name: [%1]. Target machine: [%2]."},
    {213, L"Resolving a server name to the binding handle published by the specified service. Service name: [%1]."},
    {214, L"The specified service either not installed or it was not published in the endpoint mapped database. Service name: [%1]. Target machine: [%2]."},
    {215, L"Connecting to the remote console by the specified binding handle: [%1]."},
    {216, L"Cannot connect to the remote console server. Probably remote console was deinstalled. Binding handle: [%1]."},
    {217, L"Remote console service is active. So the occurred error related rather to the RPC connection."},
    {218, L"There is no information about the remote console service in the remote endpoint mapper database. It seems the service was deinstalled."},
    {219, L"The installed service was not published in the remote endpoint database."},
    {220, L"Cannot connect to the remote console server. Target machine: [%1]."},
    {221, L"Connecting to the remote console server. Target machine: [%1]."},
    {222, L"Remote console server refused new session creation."},
    {223, L"Cannot disconnect from the remote console server. Target machine: [%1]."},
    {224, L"Disconnecting from the remote console server. Target machine: [%1]."},
    {225, L"Remote console server refused to close session. Target machine: [%1]."},
    {226, L"Cannot obtain the version of the agent managed by the remote console. Target machine: [%1]."},
    {227, L"Cannot obtain the compatibility list of the agent managed by the remote console server. Target machine: [%1]."},
    {228, L"Cannot notify the remote console server about the upgrade preparation. Target machine: [%1]."},
    {229, L"Cannot get a description for the last session error. Target machine: [%1]."},
    {230, L"Remote console session is not initialized."},
    {231, L"Cannot start a remote agent. Target machine: [%1]."},
    {232, L"Cannot delivery data to an agent managed by the remote console server. Target machine: [%1]. Data: [%2]."},
    {233, L"Cannot query the status of the remote console server. Target machine: [%1]."},
    {234, L"Stopping a remote console consumer. Target machine: [%1]."},
    {235, L"Cannot stop a remote console consumer. Target machine: [%1]."},
    {236, L"Remote console server has closed connection. Target machine: [%1]."},
    {237, L"RPC connection to the VSS server is not established or closed."},
    {238, L"Connection to the remote server is closed or not established."},
    {239, L"Settings authentication information for the binding handle to the remote endpoint mapper."},
    {240, L"Cannot set authentication information for the binding handle to the remote endpoint mapper."},
    {241, L"Cannot get a binding handle for a RPC endpoint with the RPC interface ID specified. RPC interface UID: [%1]. Version major: [%2]. Version minor: [%3]."},
    {242, L"Getting a binding handle for a RPC endpoint with the RPC interface specified. RPC interface UID: [%1]. Version major: [%2]. Version minor: [%3]."},
    {243, L"Found binding handle: [%1]."},
    {244, L"PID of the remote process: [%1]."},
    {245, L"Guest agent control version info"},
    {246, L"The guest agent service will be registered with the following service account: [%1]."},
};

TEST(MessageTable, EveryMessageIsLoadedWordForWord)
{
    ASSERT_EQ(147u, sizeof(kMessages) / sizeof(kMessages[0]));
    UINT expectedId = 100;
    for (const SExpectedMessage& m : kMessages)
    {
        ASSERT_EQ(expectedId++, m.id) << "the expected table has a gap";
        bool found = false;
        EXPECT_EQ(std::wstring(m.text), LoadMessage(m.id, &found)) << "message " << m.id;
        EXPECT_TRUE(found) << "message " << m.id;
    }
}

TEST(MessageTable, NoMessagesBeyondTheTable)
{
    for (UINT id : {0u, 99u, 247u, 999u})
    {
        bool found = true;
        LoadMessage(id, &found);
        EXPECT_FALSE(found) << "message " << id;
    }
}

TEST(MessageTable, MissingMessageFallsBackToATextShowingFourArguments)
{
    EXPECT_EQ(L"Cannot load a string from the strings table. String ID: 999Arguments: %1, %2, %3, %4.",
              LoadMessage(999));
    EXPECT_EQ(L"Cannot load a string from the strings table. String ID: 999Arguments: a, b, %3, %4.",
              MsgText(999, L"a", L"b"));
}

TEST(MessageTable, MsgTextFillsTheTableText)
{
    EXPECT_EQ(L"Connecting to a remote host. Host: [guest1]. Specified account: [DOM\\admin].",
              MsgText(115, L"guest1", std::wstring(L"DOM\\admin")));
    EXPECT_EQ(L"Guest OS version: [5.2]", MsgText(142, L"5", L"2"));
    // The "[%]" of message 148 is not a placeholder.
    EXPECT_EQ(L"Guest's OS is not supported. OS: [%].", MsgText(148, L"Windows"));
}
}
