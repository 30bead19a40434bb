#version 330 core
// Points coloured by their own colour (mode 0), an intensity ramp (mode 1), a
// hue per frame label (mode 2), or a value looked up in a colour map: height
// (10), range from the device (11), x (12) or y (13); any other mode shows the
// own colour. The map spans uScaleRange, so a new range needs no new upload.
layout(location = 0) in vec3 aPosition;
layout(location = 1) in vec3 aColor;     // normalised bytes, 0..1
layout(location = 2) in float aIntensity; // normalised byte, 0..1
layout(location = 3) in float aLabel;     // the label's integer value

uniform mat4 uMVPMatrix;
uniform int uDisplayMode;
uniform float uPointSize;
uniform sampler1D uColormap;
uniform vec2 uScaleRange; // the values at the map's two ends
uniform vec3 uDevicePosition;

out vec3 vColor;
out float vIntensity;
out float vLabel;

// Blue through green and yellow to red.
vec3 intensityRamp(float i) {
    if (i < 0.33) {
        float t = i / 0.33;
        return vec3(0.0, t, 1.0 - t);
    }
    if (i < 0.66) {
        float t = (i - 0.33) / 0.33;
        return vec3(t, 1.0, 0.0);
    }
    float t = (i - 0.66) / 0.34;
    return vec3(1.0, 1.0 - t, 0.0);
}

// Golden-ratio hues, fully saturated at full value: neighbouring labels differ.
vec3 labelColor(float label) {
    float hue = mod(label * 0.618034, 1.0);
    float k = 1.0;
    float x = k * (1.0 - abs(mod(hue * 6.0, 2.0) - 1.0));
    if (hue < 1.0 / 6.0)
        return vec3(k, x, 0.0);
    if (hue < 2.0 / 6.0)
        return vec3(x, k, 0.0);
    if (hue < 3.0 / 6.0)
        return vec3(0.0, k, x);
    if (hue < 4.0 / 6.0)
        return vec3(0.0, x, k);
    if (hue < 5.0 / 6.0)
        return vec3(x, 0.0, k);
    return vec3(k, 0.0, x);
}

float valueOf(int mode) {
    if (mode == 10)
        return aPosition.z;
    if (mode == 11)
        return length(aPosition - uDevicePosition);
    return mode == 12 ? aPosition.x : aPosition.y;
}

void main() {
    gl_Position = uMVPMatrix * vec4(aPosition, 1.0);
    gl_PointSize = uPointSize;
    vIntensity = aIntensity;
    vLabel = aLabel;
    if (uDisplayMode == 1)
        vColor = intensityRamp(aIntensity);
    else if (uDisplayMode == 2)
        vColor = labelColor(aLabel);
    else if (uDisplayMode >= 10 && uDisplayMode <= 13) {
        float span = max(uScaleRange.y - uScaleRange.x, 1e-6);
        float t = clamp((valueOf(uDisplayMode) - uScaleRange.x) / span, 0.0, 1.0);
        vColor = texture(uColormap, t).rgb;
    }
    else
        vColor = aColor;
}
