<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fi_FI">
<context>
    <name>TarnwickWebServer</name>
    <message>
        <source>Version</source>
        <translation>Versio</translation>
    </message>
</context>
</TS>
