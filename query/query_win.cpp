// Time Protocol queries (to be completed).
#include "query/query.h"

void startQuery(int) {}
void openSampleConnection(int) {}
void onHostLookupDone(uintptr_t, int) {}
void onConnectDone(int, int) {}
void onAnswerReady(int, int) {}
void finishQuery(int) {}
void endQuery(int, int) {}
void onSocketEvent(uintptr_t, int, int) {}
