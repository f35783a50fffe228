#pragma once

// Service description shown by the Service Control Manager.
#define IDS_SERVICE_DESCRIPTION 115

// The event source's message table: a DLL of resources alone, written out by -install.
#define IDR_EVENT_MESSAGE_FILE 201
