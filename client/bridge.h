// The tokeniser bridge: the channel callbacks that send every piece of
// tokeniser output to the server and handle the voice tags met in the text.
//
// The text callback sends a piece holding the final mark as a final text
// frame and every other non-empty piece as a stream piece, and waits for the
// server's END. The application callback ends the text sent so far at a
// voice tag and, for a start tag with a name, asks the server to switch to
// that voice. A failed wait clears the callbacks and sets the quit flag, so
// the render reports the request as cancelled; the next render installs
// them again.
#pragma once

#include <string>

#include "client/orvelle.h"

class Connection;

// The user data of both callbacks; owned by its connection.
struct TokeniserContext {
  CONNECTION_HANDLE handle = 0;
  // The voice to switch back to at the end of a voice tag; empty: none
  const char* default_voice = "";
  // The connection that owns this context and whose channel calls back
  Connection* connection = nullptr;
};

// Installing on an open connection (a new context replaces the old one), and
// by handle: OV_SUCCESS or OV_BAD_HANDLE
bool InstallTokeniserBridge(Connection& connection, CONNECTION_HANDLE handle);
int _init_voice_switch(CONNECTION_HANDLE handle);

// The channel's callbacks
void text_callback(void* context, const char* text, int length);
void application_callback(void* context, const char* tag, int length);

// Voice tags: the value of the name attribute of a "<voice " start tag, read
// within the tag's length (the value ends at the next quote of either kind;
// no blank may stand around '='); false when there is none
bool ReadVoiceName(const char* tag, int length, std::string* name);
std::string VoiceSelectQuery(const std::string& name);
