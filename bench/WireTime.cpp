#include "bench/WireTime.h"

void WireTime::ReadPass(int registrations) {
    AgentFrame("0");
    ReaderByte();
    for (int i = 0; i < registrations; ++i) {
        ReaderRecord();
        AgentByte();
    }
}

void WireTime::Command(const QByteArray& commandText) {
    AgentFrame(commandText);
    ReaderByte();
}
