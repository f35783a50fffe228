#pragma once

// Service description shown by the Service Control Manager.
#define IDS_SERVICE_DESCRIPTION 115
