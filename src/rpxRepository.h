#pragma once

// Every public class of the repository library.

#include "database/Database.h"
#include "database/DatabaseConnection.h"
#include "database/DatabasePool.h"
#include "database/DatabaseStructure.h"
#include "database/DatabaseType.h"
#include "database/ExecQuery.h"
#include "database/MetaData.h"
#include "database/SqlSupport.h"
#include "database/Utitlity.h"
#include "database/agent/ConfigPaths.h"
#include "database/agent/Identity.h"
#include "database/agent/KtlDebug.h"
#include "database/agent/Utility.h"
