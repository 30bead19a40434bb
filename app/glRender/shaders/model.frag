#version 330 core
// Phong lighting with one white light; a diffuse texture or a flat grey.
in vec3 FragPos;
in vec3 Normal;
in vec2 TexCoords;

uniform vec3 modelColor = vec3(0.7, 0.7, 0.7);
uniform sampler2D texture_diffuse1;
uniform bool useTexture = false;
uniform vec3 lightPos = vec3(10.0, 10.0, 10.0);
uniform vec3 lightColor = vec3(1.0, 1.0, 1.0);
uniform vec3 viewPos;

out vec4 FragColor;

void main() {
    vec3 n = normalize(Normal);
    vec3 l = normalize(lightPos - FragPos);
    vec3 ambient = 0.3 * lightColor;
    vec3 diffuse = max(dot(n, l), 0.0) * lightColor;
    vec3 v = normalize(viewPos - FragPos);
    vec3 r = reflect(-l, n);
    vec3 specular = 0.5 * pow(max(dot(v, r), 0.0), 32.0) * lightColor;
    vec3 objectColor = useTexture ? texture(texture_diffuse1, TexCoords).rgb : modelColor;
    FragColor = vec4((ambient + diffuse + specular) * objectColor, 1.0);
}
