// Listed in the test project.
