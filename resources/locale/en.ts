<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>CameraControlsDialog</name>
    <message>
        <source>auto-focus</source>
        <translation>Auto focus</translation>
    </message>
    <message>
        <source>auto-white-balance</source>
        <translation>Auto white balance</translation>
    </message>
    <message>
        <source>backlight-compensation</source>
        <translation>Backlight compensation</translation>
    </message>
    <message>
        <source>brightness</source>
        <translation>Brightness</translation>
    </message>
    <message>
        <source>camera-not-opened</source>
        <translation>The camera's settings could not be opened: %1</translation>
    </message>
    <message>
        <source>camera-settings</source>
        <translation>Camera settings: %1</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>contrast</source>
        <translation>Contrast</translation>
    </message>
    <message>
        <source>exposure-mode</source>
        <translation>Exposure mode</translation>
    </message>
    <message>
        <source>exposure-time</source>
        <translation>Exposure time</translation>
    </message>
    <message>
        <source>focus</source>
        <translation>Focus</translation>
    </message>
    <message>
        <source>gain</source>
        <translation>Gain</translation>
    </message>
    <message>
        <source>hue</source>
        <translation>Hue</translation>
    </message>
    <message>
        <source>no-controls</source>
        <translation>This camera offers no settings</translation>
    </message>
    <message>
        <source>not-changed</source>
        <translation>%1 was not changed: %2</translation>
    </message>
    <message>
        <source>pan</source>
        <translation>Pan</translation>
    </message>
    <message>
        <source>power-line-frequency</source>
        <translation>Power line frequency</translation>
    </message>
    <message>
        <source>reset</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source>reset-incomplete</source>
        <translation>Some settings stayed as they were: %1</translation>
    </message>
    <message>
        <source>saturation</source>
        <translation>Saturation</translation>
    </message>
    <message>
        <source>sharpness</source>
        <translation>Sharpness</translation>
    </message>
    <message>
        <source>tilt</source>
        <translation>Tilt</translation>
    </message>
    <message>
        <source>white-balance-temperature</source>
        <translation>White balance temperature</translation>
    </message>
    <message>
        <source>zoom</source>
        <translation>Zoom</translation>
    </message>
</context>
<context>
    <name>KxManager</name>
    <message>
        <source>address-not-callable</source>
        <translation>"%1" is not an address that can be called</translation>
    </message>
    <message>
        <source>address-too-long</source>
        <translation>The address is too long</translation>
    </message>
    <message>
        <source>call-in-progress</source>
        <translation>A call is in progress</translation>
    </message>
    <message>
        <source>call-not-set-up</source>
        <translation>The call could not be set up</translation>
    </message>
    <message>
        <source>no-address-given</source>
        <translation>No address given</translation>
    </message>
    <message>
        <source>camera-stopped</source>
        <translation>The camera &quot;%1&quot; stopped; no picture is sent from it</translation>
    </message>
    <message>
        <source>camera-refused</source>
        <translation>The desktop did not allow the camera to be used; no picture is sent</translation>
    </message>
    <message>
        <source>capture-needs-portal</source>
        <translation>Sharing the screen in this Wayland session needs the desktop&apos;s screen-cast portal (xdg-desktop-portal with a back end for this desktop); the camera still works</translation>
    </message>
    <message>
        <source>capture-refused</source>
        <translation>The desktop did not allow the screen to be shared; no picture is sent</translation>
    </message>
    <message>
        <source>capture-no-answer</source>
        <translation>The desktop did not answer the request to share the screen; no picture is sent</translation>
    </message>
    <message>
        <source>capture-ended</source>
        <translation>Screen sharing was stopped from the desktop; no picture is sent</translation>
    </message>
    <message>
        <source>capture-format</source>
        <translation>The desktop offers the screen only in a picture format this client cannot read; no picture is sent</translation>
    </message>
    <message>
        <source>capture-no-display</source>
        <translation>Desktop and window capture need an X display</translation>
    </message>
    <message>
        <source>share-window-closed</source>
        <translation>Shared window closed: nothing is shared</translation>
    </message>
    <message>
        <source>share-held-auto-answer</source>
        <translation>Answered automatically: the screen is not shared until you choose it</translation>
    </message>
    <message>
        <source>window-closed</source>
        <translation>The shared window has closed; nothing of the screen is sent until you choose a source again</translation>
    </message>
    <message>
        <source>gk-registered</source>
        <translation>Registered with the gatekeeper as %1</translation>
    </message>
    <message>
        <source>gk-registering</source>
        <translation>Registering with the gatekeeper...</translation>
    </message>
    <message>
        <source>gk-rejected</source>
        <translation>The gatekeeper refused the registration: %1</translation>
    </message>
    <message>
        <source>gk-unreachable-retry</source>
        <translation>The gatekeeper does not answer; trying again in %1 s</translation>
    </message>
    <message>
        <source>gk-unreachable</source>
        <translation>The gatekeeper does not answer; trying again</translation>
    </message>
    <message>
        <source>gk-traversal-on</source>
        <translation>Traversal through %1: on</translation>
    </message>
    <message>
        <source>gk-traversal-not-offered</source>
        <translation>Traversal through %1: not offered</translation>
    </message>
    <message>
        <source>gk-traversal-off</source>
        <translation>Traversal through %1: off</translation>
    </message>
    <message>
        <source>gk-traversal-unnamed</source>
        <translation>the gatekeeper</translation>
    </message>
    <message>
        <source>gk-unregistered</source>
        <translation>Not registered with the gatekeeper</translation>
    </message>
    <message>
        <source>gk-why-security</source>
        <translation>wrong password or alias</translation>
    </message>
    <message>
        <source>gk-why-duplicate</source>
        <translation>the alias is already registered by another endpoint</translation>
    </message>
    <message>
        <source>gk-why-alias</source>
        <translation>the gatekeeper does not accept this alias or number</translation>
    </message>
    <message>
        <source>gk-why-full</source>
        <translation>the gatekeeper cannot take more endpoints</translation>
    </message>
    <message>
        <source>gk-why-excluded</source>
        <translation>this endpoint may not register</translation>
    </message>
    <message>
        <source>gk-why-resolve</source>
        <translation>the gatekeeper&apos;s address does not resolve</translation>
    </message>
    <message>
        <source>call-failed</source>
        <translation>The call to %1 failed: %2</translation>
    </message>
    <message>
        <source>call-cancelled</source>
        <translation>Call to %1 cancelled</translation>
    </message>
    <message>
        <source>call-ended</source>
        <translation>Call with %1 ended (%2)</translation>
    </message>
    <message>
        <source>call-ended-by-far-end</source>
        <translation>%1 ended the call (%2)</translation>
    </message>
    <message>
        <source>call-ended-because</source>
        <translation>The call with %1 ended after %2: %3</translation>
    </message>
    <message>
        <source>missed-call</source>
        <translation>Missed call from %1</translation>
    </message>
    <message>
        <source>missed-call-busy</source>
        <translation>Missed call from %1 (you were in another call)</translation>
    </message>
    <message>
        <source>redirect-failed</source>
        <translation>%1 sent the call on to %2, which cannot be called: %3</translation>
    </message>
    <message>
        <source>why-alias-not-registered</source>
        <translation>a name without a host is called through the gatekeeper, and it has not registered this client</translation>
    </message>
    <message>
        <source>why-alias-needs-gatekeeper</source>
        <translation>no host of that name, and a name without a host needs a gatekeeper to call through</translation>
    </message>
    <message>
        <source>why-nobody-listening</source>
        <translation>nothing answers at that address (no video system is listening there, or it is switched off)</translation>
    </message>
    <message>
        <source>why-name-not-found</source>
        <translation>no host of that name was found (an alias alone needs a gatekeeper, or alias@host)</translation>
    </message>
    <message>
        <source>why-busy</source>
        <translation>the line is busy</translation>
    </message>
    <message>
        <source>why-no-answer</source>
        <translation>there was no answer</translation>
    </message>
    <message>
        <source>why-refused</source>
        <translation>the call was refused</translation>
    </message>
    <message>
        <source>why-temporary</source>
        <translation>a temporary failure at the far end</translation>
    </message>
    <message>
        <source>why-temporary-twice</source>
        <translation>a temporary failure at the far end, also on a second try</translation>
    </message>
    <message>
        <source>why-unreachable</source>
        <translation>the address cannot be reached</translation>
    </message>
    <message>
        <source>why-offline</source>
        <translation>the far end is out of service</translation>
    </message>
    <message>
        <source>why-no-user</source>
        <translation>there is no such user there</translation>
    </message>
    <message>
        <source>why-gatekeeper</source>
        <translation>the gatekeeper did not allow the call</translation>
    </message>
    <message>
        <source>why-no-common-media</source>
        <translation>the two sides have no audio or video format in common</translation>
    </message>
    <message>
        <source>why-security</source>
        <translation>the call could not be secured: its media could not be encrypted as required, or a security check failed</translation>
    </message>
    <message>
        <source>why-connection-lost</source>
        <translation>the connection was lost</translation>
    </message>
    <message>
        <source>why-no-resources</source>
        <translation>not enough bandwidth or resources</translation>
    </message>
    <message>
        <source>why-media-failed</source>
        <translation>the audio or video could not be started</translation>
    </message>
    <message>
        <source>why-bad-address</source>
        <translation>the far end does not accept that address</translation>
    </message>
    <message>
        <source>why-time-limit</source>
        <translation>the call reached its time limit</translation>
    </message>
    <message>
        <source>sent-on-to</source>
        <translation>%1, sent on to %2</translation>
    </message>
    <message>
        <source>no-sound-device</source>
        <translation>No sound device could be opened: this call carries no sound. Is the sound server (PulseAudio or PipeWire) running?</translation>
    </message>
    <message>
        <source>media-audio</source>
        <translation>audio</translation>
    </message>
    <message>
        <source>media-video</source>
        <translation>video</translation>
    </message>
    <message>
        <source>media-camera-control</source>
        <translation>camera control</translation>
    </message>
    <message>
        <source>media-content</source>
        <translation>content</translation>
    </message>
    <message>
        <source>media-encrypted-tip</source>
        <translation>Media encrypted: AES-128-CBC, keys agreed by Diffie-Hellman (1024-bit group)</translation>
    </message>
    <message>
        <source>media-clear-off</source>
        <translation>Media not encrypted: encryption is off in the network settings</translation>
    </message>
    <message>
        <source>media-clear-peer</source>
        <translation>Media not encrypted: the far end does not encrypt</translation>
    </message>
    <message>
        <source>media-clear-some</source>
        <translation>Not all media encrypted: %1 in clear</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>MainWindow</source>
        <translation>Main window</translation>
    </message>
    <message>
        <source>answer</source>
        <translation>Answer</translation>
    </message>
    <message>
        <source>app-minimized-to-tray</source>
        <translation>App minimized to tray</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Are you sure</translation>
    </message>
    <message>
        <source>decline</source>
        <translation>Decline</translation>
    </message>
    <message>
        <source>display-camera</source>
        <translation>Display camera</translation>
    </message>
    <message>
        <source>exit</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>exit-program</source>
        <translation>Exit program</translation>
    </message>
    <message>
        <source>from</source>
        <translation>From</translation>
    </message>
    <message>
        <source>incoming-call</source>
        <translation>Incoming call</translation>
    </message>
    <message>
        <source>info</source>
        <translation>Info</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>show</source>
        <translation>Show</translation>
    </message>
    <message>
        <source>end-call-and-quit</source>
        <translation>End the call with %1 and quit?</translation>
    </message>
    <message>
        <source>app-in-tray-call-goes-on</source>
        <translation>The call goes on; Kestrovia is in the tray</translation>
    </message>
    <message>
        <source>call-will-be-clear</source>
        <translation>This call will not be encrypted: the caller does not encrypt its media.</translation>
    </message>
</context>
<context>
    <name>SettingsAudio</name>
    <message>
        <source>echo-cancel</source>
        <translation>Echo cancel</translation>
    </message>
    <message>
        <source>echo-length-ms</source>
        <translation>Echo length (ms)</translation>
    </message>
    <message>
        <source>input-device</source>
        <translation>Input device</translation>
    </message>
    <message>
        <source>input-volume</source>
        <translation>Input volume</translation>
    </message>
    <message>
        <source>jitter-delay</source>
        <translation>Jitter delay</translation>
    </message>
    <message>
        <source>output-device</source>
        <translation>Output device</translation>
    </message>
    <message>
        <source>output-volume</source>
        <translation>Output volume</translation>
    </message>
    <message>
        <source>playing</source>
        <translation>Playing</translation>
    </message>
    <message>
        <source>recording</source>
        <translation>Recording</translation>
    </message>
    <message>
        <source>silence-detection</source>
        <translation>Silence detection</translation>
    </message>
    <message>
        <source>test-devices</source>
        <translation>Test devices</translation>
    </message>
    <message>
        <source>test-micro</source>
        <translation>Test microphone</translation>
    </message>
    <message>
        <source>test-speaker</source>
        <translation>Test speaker</translation>
    </message>
    <message>
        <source>test-failed</source>
        <translation>The device could not be opened</translation>
    </message>
    <message>
        <source>test-loudest</source>
        <translation>Loudest sound: %1 %</translation>
    </message>
    <message>
        <source>test-silent</source>
        <translation>Nothing was heard</translation>
    </message>
    <message>
        <source>no-sound-device</source>
        <translation>No sound device is available, so calls carry no sound. Is the sound server (PulseAudio or PipeWire) running?</translation>
    </message>
</context>
<context>
    <name>SettingsCodecs</name>
    <message>
        <source>audio-codecs</source>
        <translation>Audio codecs</translation>
    </message>
    <message>
        <source>fecc</source>
        <translation>Far end camera control</translation>
    </message>
    <message>
        <source>video-frame-size</source>
        <translation>Video frame size</translation>
    </message>
</context>
<context>
    <name>SettingsGeneral</name>
    <message>
        <source>auto-answer</source>
        <translation>Auto answer</translation>
    </message>
    <message>
        <source>auto-start</source>
        <translation>Auto start</translation>
    </message>
    <message>
        <source>auto-update</source>
        <translation>Auto update</translation>
    </message>
    <message>
        <source>display-name</source>
        <translation>Display name</translation>
    </message>
    <message>
        <source>language</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>autostart-failed</source>
        <translation>Start at log-on could not be set: %1</translation>
    </message>
</context>
<context>
    <name>SettingsNetwork</name>
    <message>
        <source>bandwidth-receive</source>
        <translation>Bandwidth Rx</translation>
    </message>
    <message>
        <source>bandwidth-transmit</source>
        <translation>Bandwidth Tx</translation>
    </message>
    <message>
        <source>enable-nat</source>
        <translation>Enable NAT</translation>
    </message>
    <message>
        <source>media-ports-tcp</source>
        <translation>Media Ports TCP</translation>
    </message>
    <message>
        <source>media-ports-udp</source>
        <translation>Media Ports UDP</translation>
    </message>
    <message>
        <source>nat-manual</source>
        <translation>Manual</translation>
    </message>
    <message>
        <source>nat-off</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>nat-stun</source>
        <translation>STUN</translation>
    </message>
    <message>
        <source>public-ip</source>
        <translation>Public IP Address</translation>
    </message>
    <message>
        <source>stun-server</source>
        <translation>STUN Server</translation>
    </message>
    <message>
        <source>ports-corrected</source>
        <translation>Ports corrected: %1</translation>
    </message>
    <message>
        <source>stun-answered</source>
        <translation>Public address: %1</translation>
    </message>
    <message>
        <source>stun-asking</source>
        <translation>Asking %1...</translation>
    </message>
    <message>
        <source>stun-no-answer</source>
        <translation>%1 does not answer, or its name does not resolve</translation>
    </message>
    <message>
        <source>gatekeeper</source>
        <translation>Gatekeeper</translation>
    </message>
    <message>
        <source>gatekeeper-alias</source>
        <translation>Alias</translation>
    </message>
    <message>
        <source>gatekeeper-e164</source>
        <translation>E.164 number</translation>
    </message>
    <message>
        <source>gatekeeper-host</source>
        <translation>Gatekeeper address</translation>
    </message>
    <message>
        <source>gk-host</source>
        <translation>At this address</translation>
    </message>
    <message>
        <source>gk-off</source>
        <translation>None</translation>
    </message>
    <message>
        <source>gk-auto</source>
        <translation>Find one on the network</translation>
    </message>
    <message>
        <source>gatekeeper-password</source>
        <translation>Gatekeeper password</translation>
    </message>
    <message>
        <source>gatekeeper-ttl</source>
        <translation>Registration lifetime (s)</translation>
    </message>
    <message>
        <source>gatekeeper-traversal</source>
        <translation>Cross a NAT through the gatekeeper (H.460.18/19)</translation>
    </message>
    <message>
        <source>encryption</source>
        <translation>Media encryption</translation>
    </message>
    <message>
        <source>encryption-off</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>encryption-auto</source>
        <translation>When the far end can</translation>
    </message>
    <message>
        <source>encryption-required</source>
        <translation>Required</translation>
    </message>
    <message>
        <source>encryption-tip</source>
        <translation>Audio, video, content and camera control are sent with AES-128, the keys agreed by Diffie-Hellman. &quot;Required&quot; refuses calls that cannot be encrypted.</translation>
    </message>
</context>
<context>
    <name>SettingsVideo</name>
    <message>
        <source>capture-window</source>
        <translation>Capture window</translation>
    </message>
    <message>
        <source>configure</source>
        <translation>Configure</translation>
    </message>
    <message>
        <source>configure-video</source>
        <translation>Configure video</translation>
    </message>
    <message>
        <source>current-video</source>
        <translation>Current video</translation>
    </message>
    <message>
        <source>desktop</source>
        <translation>Desktop</translation>
    </message>
    <message>
        <source>full-screen</source>
        <translation>Full screen</translation>
    </message>
    <message>
        <source>no-device</source>
        <translation>No device</translation>
    </message>
    <message>
        <source>video-device</source>
        <translation>Video device</translation>
    </message>
    <message>
        <source>video-format</source>
        <translation>Video format</translation>
    </message>
</context>
<context>
    <name>SoundDevices</name>
    <message>
        <source>default-audio</source>
        <translation>Default audio</translation>
    </message>
</context>
<context>
    <name>WidgetCall</name>
    <message>
        <source>no-loudspeaker-tip</source>
        <translation>The loudspeaker could not be opened: you hear nothing of the call</translation>
    </message>
    <message>
        <source>no-microphone-tip</source>
        <translation>The microphone could not be opened: the far end hears nothing from you</translation>
    </message>
    <message>
        <source>no-sound-state</source>
        <translation>No sound device</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Are you sure</translation>
    </message>
    <message>
        <source>call</source>
        <translation>Call</translation>
    </message>
    <message>
        <source>call-status</source>
        <translation>Call status</translation>
    </message>
    <message>
        <source>change-layout</source>
        <translation>Change layout</translation>
    </message>
    <message>
        <source>change-layout-tip</source>
        <translation>Click to change layout</translation>
    </message>
    <message>
        <source>content-full</source>
        <translation>Content Full</translation>
    </message>
    <message>
        <source>dial-pad</source>
        <translation>Dialpad</translation>
    </message>
    <message>
        <source>end-call</source>
        <translation>End call</translation>
    </message>
    <message>
        <source>fecc</source>
        <translation>FECC</translation>
    </message>
    <message>
        <source>full-screen</source>
        <translation>Full screen</translation>
    </message>
    <message>
        <source>full-screen-tip</source>
        <translation>Full screen</translation>
    </message>
    <message>
        <source>layout</source>
        <translation>Layout</translation>
    </message>
    <message>
        <source>local-full</source>
        <translation>Local Full</translation>
    </message>
    <message>
        <source>micro-volume</source>
        <translation>Microphone volume</translation>
    </message>
    <message>
        <source>mute-micro</source>
        <translation>Mute the microphone</translation>
    </message>
    <message>
        <source>mute-speaker</source>
        <translation>Mute speaker</translation>
    </message>
    <message>
        <source>remote-full</source>
        <translation>Remote Full</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>side-by-side</source>
        <translation>Side by side</translation>
    </message>
    <message>
        <source>speaker-volume</source>
        <translation>Speaker volume</translation>
    </message>
    <message>
        <source>toggle-camera</source>
        <translation>Toggle camera</translation>
    </message>
    <message>
        <source>toggle-layout</source>
        <translation>Toggle layout</translation>
    </message>
</context>
<context>
    <name>WidgetCalling</name>
    <message>
        <source>calling</source>
        <translation>Calling %1</translation>
    </message>
    <message>
        <source>connecting</source>
        <translation>Connecting...</translation>
    </message>
    <message>
        <source>ringing</source>
        <translation>Ringing...</translation>
    </message>
    <message>
        <source>cancel-call</source>
        <translation>Cancel call</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>WidgetCam</name>
    <message>
        <source>configure</source>
        <translation>Configure</translation>
    </message>
    <message>
        <source>desktop</source>
        <translation>Desktop</translation>
    </message>
    <message>
        <source>device</source>
        <translation>Device</translation>
    </message>
    <message>
        <source>format</source>
        <translation>Format</translation>
    </message>
    <message>
        <source>chosen-by-the-desktop</source>
        <translation>Chosen by the desktop</translation>
    </message>
    <message>
        <source>full-screen</source>
        <translation>Full screen</translation>
    </message>
    <message>
        <source>no-device</source>
        <translation>No device</translation>
    </message>
    <message>
        <source>video</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>window</source>
        <translation>Window</translation>
    </message>
</context>
<context>
    <name>WidgetContacts</name>
    <message>
        <source>xml-files</source>
        <translation>XML files (*.xml)</translation>
    </message>
    <message>
        <source>add-contact</source>
        <translation>Add contact</translation>
    </message>
    <message>
        <source>address</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Are you sure</translation>
    </message>
    <message>
        <source>call</source>
        <translation>Call</translation>
    </message>
    <message>
        <source>contacts</source>
        <translation>Contacts</translation>
    </message>
    <message>
        <source>edit-contact</source>
        <translation>Edit contact</translation>
    </message>
    <message>
        <source>erase-all-contacts</source>
        <translation>Importing will remove existing contacts</translation>
    </message>
    <message>
        <source>export-contacts</source>
        <translation>Export contacts</translation>
    </message>
    <message>
        <source>import-contacts</source>
        <translation>Import contacts</translation>
    </message>
    <message>
        <source>ip-address</source>
        <translation>IP Address</translation>
    </message>
    <message>
        <source>name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>organization</source>
        <translation>Organization</translation>
    </message>
    <message>
        <source>protocol</source>
        <translation>Protocol</translation>
    </message>
    <message>
        <source>remove-contact</source>
        <translation>Remove contact</translation>
    </message>
    <message>
        <source>save</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>export-failed</source>
        <translation>The contacts could not be written to %1</translation>
    </message>
    <message>
        <source>import-failed</source>
        <translation>%1 is not a contacts file; the list is unchanged</translation>
    </message>
    <message>
        <source>name-needed</source>
        <translation>Type a name for the contact</translation>
    </message>
</context>
<context>
    <name>WidgetDialpad</name>
    <message>
        <source>send</source>
        <translation>Send</translation>
    </message>
</context>
<context>
    <name>WidgetHistory</name>
    <message>
        <source>add-contact</source>
        <translation>Add contact</translation>
    </message>
    <message>
        <source>add-to-contacts</source>
        <translation>Add to Contacts</translation>
    </message>
    <message>
        <source>address</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>are-you-sure</source>
        <translation>Are you sure</translation>
    </message>
    <message>
        <source>call</source>
        <translation>Call</translation>
    </message>
    <message>
        <source>clear-history</source>
        <translation>Clear history</translation>
    </message>
    <message>
        <source>duration</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>flow</source>
        <translation>Flow</translation>
    </message>
    <message>
        <source>history</source>
        <translation>History</translation>
    </message>
    <message>
        <source>ip-address</source>
        <translation>IP Address</translation>
    </message>
    <message>
        <source>minutes</source>
        <translation>Minutes</translation>
    </message>
    <message>
        <source>name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>organization</source>
        <translation>Organization</translation>
    </message>
    <message>
        <source>protocol</source>
        <translation>Protocol</translation>
    </message>
    <message>
        <source>remove-entry</source>
        <translation>Remove entry</translation>
    </message>
    <message>
        <source>save</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>time</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>failure</source>
        <translation>Failure</translation>
    </message>
    <message>
        <source>incoming</source>
        <translation>Incoming</translation>
    </message>
    <message>
        <source>outgoing</source>
        <translation>Outgoing</translation>
    </message>
    <message>
        <source>success</source>
        <translation>Success</translation>
    </message>
    <message>
        <source>name-needed</source>
        <translation>Type a name for the contact</translation>
    </message>
    <message>
        <source>date</source>
        <translation>Date</translation>
    </message>
</context>
<context>
    <name>WidgetHome</name>
    <message>
        <source>call</source>
        <translation>Call</translation>
    </message>
    <message>
        <source>dial-pad</source>
        <translation>Dialpad</translation>
    </message>
    <message>
        <source>enter-address</source>
        <translation>Enter address</translation>
    </message>
</context>
<context>
    <name>WidgetInfo</name>
    <message>
        <source>about</source>
        <translation>About</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>info</source>
        <translation>Info</translation>
    </message>
    <message>
        <source>license</source>
        <translation>License</translation>
    </message>
    <message>
        <source>license-file-not-found</source>
        <translation>License file not found</translation>
    </message>
    <message>
        <source>open-source-licenses</source>
        <translation>Open source Licenses</translation>
    </message>
    <message>
        <source>product</source>
        <translation>Product</translation>
    </message>
    <message>
        <source>version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>built-on</source>
        <translation>built on</translation>
    </message>
</context>
<context>
    <name>WidgetSettings</name>
    <message>
        <source>apply</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>audio</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>codecs</source>
        <translation>Codecs</translation>
    </message>
    <message>
        <source>discard</source>
        <translation>Discard</translation>
    </message>
    <message>
        <source>general</source>
        <translation>General</translation>
    </message>
    <message>
        <source>network</source>
        <translation>Network</translation>
    </message>
    <message>
        <source>save</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>save-changes</source>
        <translation>Save changes</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>video</source>
        <translation>Video</translation>
    </message>
</context>
<context>
    <name>WidgetSettingsCall</name>
    <message>
        <source>audio</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>auto-hide</source>
        <translation>Auto hide</translation>
    </message>
    <message>
        <source>bottom</source>
        <translation>Bottom</translation>
    </message>
    <message>
        <source>bottom-left</source>
        <translation>Bottom left</translation>
    </message>
    <message>
        <source>bottom-right</source>
        <translation>Bottom right</translation>
    </message>
    <message>
        <source>change-pip</source>
        <translation>Change PiP</translation>
    </message>
    <message>
        <source>change-pip-tip</source>
        <translation>Click to change PiP</translation>
    </message>
    <message>
        <source>input</source>
        <translation>Input</translation>
    </message>
    <message>
        <source>layout</source>
        <translation>Layout</translation>
    </message>
    <message>
        <source>location</source>
        <translation>Location</translation>
    </message>
    <message>
        <source>off</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>output</source>
        <translation>Output</translation>
    </message>
    <message>
        <source>pip</source>
        <translation>PiP</translation>
    </message>
    <message>
        <source>toolbar</source>
        <translation>Toolbar</translation>
    </message>
    <message>
        <source>top</source>
        <translation>Top</translation>
    </message>
    <message>
        <source>top-left</source>
        <translation>Top left</translation>
    </message>
    <message>
        <source>top-right</source>
        <translation>Top right</translation>
    </message>
</context>
<context>
    <name>WidgetStatistics</name>
    <message>
        <source>still-picture</source>
        <translation>still picture</translation>
    </message>
    <message>
        <source>audio</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>bandwidth</source>
        <translation>Bandwidth</translation>
    </message>
    <message>
        <source>codec</source>
        <translation>Codec</translation>
    </message>
    <message>
        <source>jitter</source>
        <translation>Jitter</translation>
    </message>
    <message>
        <source>latency</source>
        <translation>Latency</translation>
    </message>
    <message>
        <source>packet-lost</source>
        <translation>Packet lost</translation>
    </message>
    <message>
        <source>rate</source>
        <translation>Rate</translation>
    </message>
    <message>
        <source>rx</source>
        <translation>Rx</translation>
    </message>
    <message>
        <source>size</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>transfer</source>
        <translation>Transfer</translation>
    </message>
    <message>
        <source>tx</source>
        <translation>Tx</translation>
    </message>
    <message>
        <source>video</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>encryption</source>
        <translation>Encryption</translation>
    </message>
    <message>
        <source>not-encrypted</source>
        <translation>none</translation>
    </message>
    <message>
        <source>path-allows</source>
        <translation>Path allows</translation>
    </message>
    <message>
        <source>rate-why</source>
        <translation>Because</translation>
    </message>
    <message>
        <source>rate-start</source>
        <translation>as opened</translation>
    </message>
    <message>
        <source>rate-loss</source>
        <translation>loss</translation>
    </message>
    <message>
        <source>rate-delay</source>
        <translation>delay</translation>
    </message>
    <message>
        <source>rate-rising</source>
        <translation>rising</translation>
    </message>
    <message>
        <source>rate-holding</source>
        <translation>holding</translation>
    </message>
    <message>
        <source>rate-full</source>
        <translation>full rate</translation>
    </message>
</context>
<context>
    <name>kxlanguage</name>
    <message>
        <source>locale</source>
        <translation>system</translation>
    </message>
</context>
</TS>
