<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>TarnwickWebServer</name>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>r4</source>
        <translation>Built on Qt 6 for sharing files over the local network.</translation>
    </message>
</context>
</TS>
