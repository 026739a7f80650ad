// Reads one client's records and writes each as soon as it is complete.
#pragma once

#include "pipe_listener.h"
#include "record_writer.h"

void ServeConnection(CPipeConnection* pConnection, CRecordWriter* pWriter);
