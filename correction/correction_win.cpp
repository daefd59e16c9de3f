// Applying the consensus (to be completed).
#include "correction/correction.h"

uint8_t correctionFailed;
Millis1900 lastCorrectionTime;
int64_t lastCorrectionValue;

void applyConsensus() {}
