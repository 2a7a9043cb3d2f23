// Recording and replay: the recording and scene file formats, the writer and the reader.
// Called by the record and replay panel and, once per frame, by the frame loop. GUI thread only.
#pragma once

void writeRecordingFrame();  // once per GUI frame, after the scene drawing
void readReplayFrame();      // once per GUI frame, after writeRecordingFrame
