// The maker's texts. Every address is built from the build-time sites.
#pragma once
#include "site_config.h"

#define MAKER_CONTACT "800102014"
#define MAKER_SITE_NAME "页潮网"
#define MAKER_REGISTRATION "潮ICP备10002014号"
#define MAKER_HOME "http://" MAKER_SITE "/?KORVA"
#define DIRECTORY_HOME "http://" DIRECTORY_SITE "/?KORVA"
