// The installation's mail environment.
#include "mail/protocol/mail_environment.h"

#include "core/system_parameters.h"

namespace tovenmarsh::mail {

TMailEnvironment InstallationMailEnvironment() {
  TMailEnvironment environment;
  environment.folders = InstallationMailFolders();
  environment.hostName = core::SystemParameters().HostName();
  environment.productName = core::SystemParameters().ProductName();
  environment.now = [] { return platform::Now(); };
  environment.openDirectory = [] { return OpenInstallationDirectory(); };
  environment.relayNetworks = core::SystemParameters().GetString("RelayNetworks");
  return environment;
}

}  // namespace tovenmarsh::mail
